#pragma once

#include <array>
#include <streambuf>

// A read-only view of one line of another stream buffer: it hands out the
// source's characters up to the next line end and then reports the end of
// its data, so a std::istream built on it parses one line exactly as it
// would parse a string holding that line, without ever holding the whole
// line in memory. Reading consumes the source; the line end itself is
// consumed but never handed out. The source must outlive the view.
class LineBuffer : public std::streambuf {
  public:
    explicit LineBuffer(std::streambuf& source) : source_(source) {}
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

    // Consumes the rest of the line, its line end included.
    void SkipRest();

  protected:
    int_type underflow() override;

  private:
    std::streambuf& source_;
    std::array<char, 4096> chunk_{};
    bool ended_ = false;  // the line end (or the end of the source) has been consumed
};

#pragma once

#include <mutex>
#include <streambuf>

// Where the library's own lines go. The library writes them to std::cout
// ("Weights loaded:", "Thread finished", ...); while a LibraryOutput lives,
// std::cout leads to `to` instead, or nowhere when `to` is null. The program
// points it at its error stream, so that standard output carries only
// results. The library's workers may write at the same time: each write is
// passed on whole, under one lock. Redirections nest; each gives back the
// target it found.
class LibraryOutput : private std::streambuf {
  public:
    explicit LibraryOutput(std::streambuf* to);
    ~LibraryOutput() override;
    LibraryOutput(const LibraryOutput&) = delete;
    LibraryOutput& operator=(const LibraryOutput&) = delete;

  private:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

    std::mutex mutex_;
    std::streambuf* to_;
    std::streambuf* saved_;
};

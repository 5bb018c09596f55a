#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

// One file of the IDX format used by classic image data sets: a big-endian
// header (two zero bytes, a type byte, the number of dimensions, then each
// dimension as a 32-bit count) followed by the values. Only unsigned bytes
// (type 0x08) are supported. The file may be gzip-compressed or plain.
class IdxFile {
  public:
    // Reads the whole file; throws std::runtime_error naming the file when it
    // cannot be opened, is not an IDX file of bytes or is cut short.
    static IdxFile Read(const std::filesystem::path& path);

    const std::vector<std::uint32_t>& Dimensions() const { return dimensions_; }
    const std::vector<std::uint8_t>& Values() const { return values_; }

  private:
    std::vector<std::uint32_t> dimensions_;
    std::vector<std::uint8_t> values_;
};

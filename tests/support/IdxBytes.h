#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

// An IDX file of unsigned bytes: the magic, each dimension big-endian, the values.
inline std::vector<std::uint8_t> IdxBytes(const std::vector<std::uint32_t>& dimensions,
                                          const std::vector<std::uint8_t>& values) {
    std::vector<std::uint8_t> bytes{0, 0, 0x08, static_cast<std::uint8_t>(dimensions.size())};
    for (const std::uint32_t size : dimensions)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<std::uint8_t>(size >> shift));
    bytes.insert(bytes.end(), values.begin(), values.end());
    return bytes;
}

// Writes `bytes` gzip-compressed; false when that fails.
inline bool WriteGzip(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    gzFile file = gzopen(name.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size())) ==
                         static_cast<int>(bytes.size());
    return gzclose(file) == Z_OK && written;
}

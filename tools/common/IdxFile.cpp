#include "common/IdxFile.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

struct GzCloser {
    void operator()(gzFile_s* file) const { gzclose(file); }
};
using GzFile = std::unique_ptr<gzFile_s, GzCloser>;

constexpr std::uint8_t kUnsignedByte = 0x08;

// Reads exactly size bytes; false when the file ends first.
bool ReadExactly(gzFile file, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 20));
        const int got = gzread(file, data, chunk);
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

IdxFile IdxFile::Read(const std::filesystem::path& path) {
    const std::string name = path.string();
    // gzopen reads plain files unchanged, so one path serves both forms.
    GzFile file(gzopen(name.c_str(), "rb"));
    if (!file) throw std::runtime_error("cannot open " + name);

    std::uint8_t magic[4];
    if (!ReadExactly(file.get(), magic, sizeof magic) || magic[0] != 0 || magic[1] != 0) {
        throw std::runtime_error(name + " is not an IDX file");
    }
    if (magic[2] != kUnsignedByte) {
        throw std::runtime_error(name + " holds IDX values other than unsigned bytes");
    }
    if (magic[3] == 0) throw std::runtime_error(name + " is an IDX file without dimensions");

    IdxFile idx;
    std::uint64_t count = 1;
    for (int d = 0; d < magic[3]; ++d) {
        std::uint8_t bytes[4];
        if (!ReadExactly(file.get(), bytes, sizeof bytes)) {
            throw std::runtime_error(name + " is cut short in its header");
        }
        const std::uint32_t size = (std::uint32_t{bytes[0]} << 24) |
                                   (std::uint32_t{bytes[1]} << 16) |
                                   (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
        idx.dimensions_.push_back(size);
        count *= size;
        // A corrupt header must not make us reserve terabytes.
        if (count > (std::uint64_t{1} << 34)) {
            throw std::runtime_error(name + " declares more values than can be held");
        }
    }

    // Read in chunks so that a header promising more than the file holds
    // fails on the missing data rather than on one huge allocation.
    constexpr std::size_t kChunk = std::size_t{1} << 24;
    std::uint64_t done = 0;
    while (done < count) {
        const std::size_t step =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, count - done));
        idx.values_.resize(static_cast<std::size_t>(done) + step);
        if (!ReadExactly(file.get(), idx.values_.data() + done, step)) {
            throw std::runtime_error(name + " is cut short: it declares " + std::to_string(count) +
                                     " values");
        }
        done += step;
    }
    return idx;
}

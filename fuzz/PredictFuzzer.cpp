// Runs Predict, through the exported function, on images and regions decoded
// from arbitrary bytes: any pixel type among a few, up to 64 x 64, sometimes
// a view into a larger image (not continuous), and regions that are small,
// empty, outside the image or near the 32-bit limits. The network (32 x 32,
// two outputs, one thread) is loaded once at start-up. Any crash, sanitizer
// report or hang is a finding; so is a successful call whose scores are not
// in [0, 1].
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <opencv2/core.hpp>

#include "FuzzFolder.h"
#include "corvane.h"

namespace {

NetHandle* handle = nullptr;

// Reads the input front to back; past its end every value is 0.
class Bytes {
  public:
    Bytes(const std::uint8_t* data, size_t size) : data_(data), size_(size) {}
    std::uint8_t Next() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint32_t Word() {
        std::uint32_t word = 0;
        for (int k = 0; k < 4; ++k) word = (word << 8) | Next();
        return word;
    }
    // Mostly small coordinates (0 to 63); one in four anywhere in 32 bits.
    std::uint32_t Coordinate() {
        const std::uint8_t mode = Next();
        return (mode & 3) == 0 ? Word() : static_cast<std::uint32_t>(mode >> 2);
    }
    size_t Position() const { return position_; }

  private:
    const std::uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

const int kTypes[] = {CV_8UC1, CV_8UC3, CV_8UC3, CV_8UC4, CV_8UC2, CV_16UC1, CV_32FC3, CV_8SC3};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    EnterFuzzFolder();
    std::ofstream("Network.data") << "32;32\n2\nfirst;second;\n";
    handle = CreateCorvane();
    if (handle == nullptr || !LoadCorvane(handle, 1)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    Bytes bytes(data, size);
    const int type = kTypes[bytes.Next() % (sizeof(kTypes) / sizeof(kTypes[0]))];
    const int cols = bytes.Next() % 65;
    const int rows = bytes.Next() % 65;
    const bool view = (bytes.Next() & 1) != 0 && rows > 0 && cols > 0;
    const std::uint32_t x = bytes.Coordinate();
    const std::uint32_t y = bytes.Coordinate();
    const std::uint32_t width = bytes.Coordinate();
    const std::uint32_t height = bytes.Coordinate();

    // The pixels: the rest of the input, repeated; a view sits inside a
    // larger image, one column and row in.
    cv::Mat whole(rows + (view ? 2 : 0), cols + (view ? 3 : 0), type);
    const size_t start = bytes.Position();
    const size_t total = whole.total() * whole.elemSize();
    std::uint8_t* pixels = whole.data;
    for (size_t k = 0; k < total; ++k)
        pixels[k] = size > start ? data[start + k % (size - start)] : static_cast<std::uint8_t>(k);
    const cv::Mat image = view ? whole(cv::Rect(1, 1, cols, rows)) : whole;

    float scores[2] = {-1.0f, -1.0f};
    if (Predict(handle, &image, x, y, width, height, scores)) {
        for (float score : scores)
            if (!(score >= 0.0f && score <= 1.0f)) __builtin_trap();
    }
    return 0;
}

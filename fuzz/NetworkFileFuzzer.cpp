// Feeds arbitrary bytes to the network file reader as "Network.data": the
// header-only read (as the category queries and the first step of a load do),
// the limits a load checks next, and a read into a small fixed set of weight
// groups. Any crash, sanitizer report, hang or runaway allocation is a
// finding; so is a weight that reads in as anything but a finite value, or
// a line on which the fast weight reader and the plain stream reader
// disagree about a single bit.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "FuzzFolder.h"
#include "network/NetworkFile.h"
#include "network/NetworkLimits.h"
#include "network/WeightLine.h"

namespace {

// Four groups as a network would hand them over: an empty one, a single
// weight, a kernel of 10 and a dense group of (8 + 1) x 3.
const size_t kGroupSizes[] = {0, 1, 10, 27};

void WriteNetworkFile(const std::uint8_t* data, size_t size) {
    std::ofstream out(NetworkFile::kFileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Reads the whole input line by line with both weight readers.
void CompareWeightReaders(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::stringbuf fastSource(text);
    std::stringbuf plainSource(text);
    float fast[16];
    float plain[16];
    WeightGroup fastGroup;
    WeightGroup plainGroup;
    for (int k = 0; k < 16; ++k) {
        fastGroup.push_back(&fast[k]);
        plainGroup.push_back(&plain[k]);
    }
    using Traits = std::streambuf::traits_type;
    while (!Traits::eq_int_type(plainSource.sgetc(), Traits::eof())) {
        const size_t fastCount = WeightLine::Read(fastSource, fastGroup);
        const size_t plainCount = WeightLine::ReadReference(plainSource, plainGroup);
        if (fastCount != plainCount) __builtin_trap();
        if (std::memcmp(fast, plain, fastCount * sizeof(float)) != 0) __builtin_trap();
        if (fastSource.in_avail() != plainSource.in_avail()) __builtin_trap();
    }
    if (!Traits::eq_int_type(fastSource.sgetc(), Traits::eof())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    EnterFuzzFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    WriteNetworkFile(data, size);

    std::vector<std::string> names;
    cv::Size imageSize;
    int outputCount = 0;
    try {
        NetworkFile::Read(nullptr, names, imageSize, outputCount);
        NetworkLimits::Check(imageSize, outputCount, names);
    } catch (const char*) {
        // Refused files are the expected outcome for most inputs.
    }

    std::vector<std::vector<float>> storage;
    WeightGroups groups;
    for (size_t count : kGroupSizes) storage.emplace_back(count, 0.5f);
    for (auto& values : storage) {
        groups.emplace_back();
        for (float& value : values) groups.back().push_back(&value);
    }
    try {
        NetworkFile::Read(&groups, names, imageSize, outputCount);
    } catch (const char*) {
    }
    for (const auto& values : storage)
        for (float value : values)
            if (!std::isfinite(value)) __builtin_trap();

    CompareWeightReaders(data, size);
    return 0;
}

// Feeds arbitrary bytes to the network file reader as "Network.data": the
// header-only read (as the category queries and the first step of a load do),
// the limits a load checks next, and a read into a small fixed set of weight
// groups. Any crash, sanitizer report, hang or runaway allocation is a
// finding; so is a weight that reads in as anything but a finite value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <vector>

#include "FuzzFolder.h"
#include "network/NetworkFile.h"
#include "network/NetworkLimits.h"

namespace {

// Four groups as a network would hand them over: an empty one, a single
// weight, a kernel of 10 and a dense group of (8 + 1) x 3.
const size_t kGroupSizes[] = {0, 1, 10, 27};

void WriteNetworkFile(const std::uint8_t* data, size_t size) {
    std::ofstream out(NetworkFile::kFileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
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
    return 0;
}

#include "network/NetworkLimits.h"

#include <iostream>
#include <sstream>

namespace NetworkLimits {

namespace {

const char* const kRefused = "network file refused";

// One convolution: a depth line per input position (input pointers and an
// error row per output map), a receptive field per output position (a
// window of line pointers), a plane per output map, and its kernels.
std::uint64_t ConvolutionBytes(std::uint64_t positions, std::uint64_t inputs, std::uint64_t outputs,
                               std::uint64_t stride, std::uint64_t windowSide) {
    const std::uint64_t lineBytes = 96 + inputs * 8 + inputs * outputs * 4;
    const std::uint64_t outputPositions = positions / (stride * stride);
    const std::uint64_t fieldBytes = 64 + windowSide * windowSide * 8;
    const std::uint64_t kernelBytes = outputs * (200 + (25 * inputs + 1) * 4);
    return positions * lineBytes + outputPositions * (fieldBytes + outputs * 4) + kernelBytes;
}

}  // namespace

std::uint64_t EstimateBytes(cv::Size size, int outputCount) {
    std::uint64_t positions =
        static_cast<std::uint64_t>(size.width) * static_cast<std::uint64_t>(size.height);
    std::uint64_t total = positions * 3 * 4 * 3;  // input planes and the work images
    // (input maps, output maps, conv branch width, convolutions, window side)
    struct Module {
        std::uint64_t in, out, width, convs, window;
    };
    const Module modules[] = {{3, 32, 29, 3, 5},
                              {32, 64, 32, 3, 3},
                              {64, 128, 64, 3, 3},
                              {128, 256, 128, 3, 3},
                              {256, 512, 256, 2, 3}};
    for (const Module& module : modules) {
        total += ConvolutionBytes(positions, module.in, module.width, 1, module.window);
        for (std::uint64_t c = 1; c < module.convs; ++c) {
            const std::uint64_t stride = (c + 1 == module.convs) ? 2 : 1;
            total += ConvolutionBytes(positions, module.width, module.width, stride, module.window);
        }
        positions /= 4;
        // Pooling records: a window of four cell pointers per output cell.
        total += positions * module.in * (24 + 4 * 8 + 4);
    }
    const std::uint64_t cells = positions * 512;
    const std::uint64_t outputs = static_cast<std::uint64_t>(outputCount);
    total += (cells + 1 + outputs) * 96;         // neurons
    total += (cells + 1) * outputs * (24 + 16);  // connections and their references
    return total;
}

void Check(cv::Size size, int outputCount, const std::vector<std::string>& categories) {
    std::ostringstream problem;
    if (size.width < kMinSide || size.width > kMaxSide || size.height < kMinSide ||
        size.height > kMaxSide) {
        problem << "input size " << size.width << "x" << size.height << " is outside " << kMinSide
                << " to " << kMaxSide;
    } else if (size.width % kSideMultiple != 0 || size.height % kSideMultiple != 0) {
        problem << "input size " << size.width << "x" << size.height << " is not a multiple of "
                << kSideMultiple;
    } else if (outputCount < 1 || outputCount > kMaxOutputs) {
        problem << "output count " << outputCount << " is outside 1 to " << kMaxOutputs;
    } else if (categories.size() > static_cast<size_t>(outputCount) + kExtraNames) {
        problem << categories.size() << " category names for " << outputCount << " outputs";
    } else {
        for (const std::string& name : categories)
            if (name.size() > kMaxNameBytes) {
                problem << "a category name is longer than " << kMaxNameBytes << " bytes";
                break;
            }
        if (problem.tellp() == 0) {
            const std::uint64_t bytes = EstimateBytes(size, outputCount);
            if (bytes > kMaxBytes)
                problem << "the network would need about " << (bytes >> 20) << " MiB (limit "
                        << (kMaxBytes >> 20) << " MiB)";
        }
    }
    if (problem.tellp() == 0) return;
    std::cout << kRefused << ": " << problem.str() << std::endl;
    throw kRefused;
}

}  // namespace NetworkLimits

#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

// What a network file may ask the library to build. A file is checked
// before anything is allocated, so a damaged or hostile header cannot
// exhaust memory or build a network that cannot work.
namespace NetworkLimits {

constexpr int kMinSide = 32;
constexpr int kMaxSide = 4096;
constexpr int kSideMultiple = 32;  // five modules each halve the maps
constexpr int kMaxOutputs = 100000;
constexpr size_t kMaxNameBytes = 1024;
constexpr size_t kExtraNames = 16;  // names beyond the output count that are tolerated
constexpr std::uint64_t kMaxBytes = 8ull << 30;
constexpr unsigned kMaxThreads = 256;  // workers per pool; a network runs four pools

// Rough size in bytes of the built network: depth lines, receptive fields,
// planes, dense neurons and connections.
std::uint64_t EstimateBytes(cv::Size size, int outputCount);

// Prints one line saying what is wrong and throws when the header asks for
// something the library will not build.
void Check(cv::Size size, int outputCount, const std::vector<std::string>& categories);

}  // namespace NetworkLimits

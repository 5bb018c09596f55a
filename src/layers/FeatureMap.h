#pragma once

#include <vector>

namespace cv {
class Mat;
}

class ConvKernel;
struct PoolLink;

// One plane of float values as the layers pass it around. A cheap value
// record: copies share the plane, the kernel, the source and the pooling
// records they point to, so a task writes its results through `image`, never
// into the record. The layer that made the map owns `image` and `switches`;
// a convolution map shows its kernel, which only its layer changes.
struct FeatureMap {
    FeatureMap* source = nullptr;               // pooled map: the input map it pools
    cv::Mat* image = nullptr;                   // one CV_32F channel, continuous
    const ConvKernel* kernel = nullptr;         // convolution map: the kernel computing it
    std::vector<PoolLink>* switches = nullptr;  // pooled map: one record per output cell
};

using FeatureMaps = std::vector<FeatureMap>;

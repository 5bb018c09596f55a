#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "layers/ILayer.h"
#include "layers/LayerPools.h"
#include "support/ThrownText.h"

// The four layer pools, each running `threads` workers until it goes out of
// scope, for driving layers in tests.
class StartedPools : public LayerPools {
  public:
    explicit StartedPools(int threads) { Start(threads); }
    ~StartedPools() { Shutdown(); }
    StartedPools(const StartedPools&) = delete;
    StartedPools& operator=(const StartedPools&) = delete;
};

// A float plane filled row by row from `values`.
inline cv::Mat Plane(int rows, int cols, const std::vector<float>& values) {
    cv::Mat plane(rows, cols, CV_32F, cv::Scalar(0));
    std::copy(values.begin(), values.end(), plane.ptr<float>(0));
    return plane;
}

// Map records over planes the test owns.
inline FeatureMaps MapsOver(std::vector<cv::Mat>& planes) {
    FeatureMaps maps;
    for (cv::Mat& plane : planes) {
        FeatureMap map;
        map.image = &plane;
        maps.push_back(map);
    }
    return maps;
}

// Bit for bit, so that -0 and 0 or two NaNs are told apart as the layer wrote them.
inline bool SamePlane(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && std::memcmp(a.data, b.data, a.total() * sizeof(float)) == 0;
}

inline std::vector<float> WeightValues(ILayer& layer) {
    std::vector<float> values;
    for (const WeightGroup& group : layer.GetWeights())
        for (const float* weight : group) values.push_back(*weight);
    return values;
}

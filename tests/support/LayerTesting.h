#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "layers/ILayer.h"
#include "network/Network.h"
#include "support/ThrownText.h"

// A network whose four pools each run `threads` workers, for driving layers
// in tests. The pools are shut down when it goes out of scope.
class StartedNetwork {
  public:
    explicit StartedNetwork(int threads) {
        net.mapPointerPool.Start(threads);
        net.mapTaskPool.Start(threads);
        net.depthLinePool.Start(threads);
        net.errorSumPool.Start(threads);
    }
    ~StartedNetwork() {
        net.mapPointerPool.Shutdown();
        net.mapTaskPool.Shutdown();
        net.depthLinePool.Shutdown();
        net.errorSumPool.Shutdown();
    }
    StartedNetwork(const StartedNetwork&) = delete;
    StartedNetwork& operator=(const StartedNetwork&) = delete;

    Network net;
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

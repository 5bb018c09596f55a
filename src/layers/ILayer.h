#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "layers/FeatureMap.h"

using WeightGroup = std::vector<float*>;
using WeightGroups = std::vector<WeightGroup>;

// A feature layer: consumes the previous layer's maps, produces its own.
// Training travels through the planes: before Backward, the layer above has
// overwritten this layer's output planes with targets; a layer that
// propagates writes targets into its input planes in turn.
// Destruction is two-step: the owner calls Release, then deletes the object.
// The nine operations keep this slot order.
class ILayer {
  public:
    virtual FeatureMaps* Forward(FeatureMaps& inputs, const cv::Mat* mask) = 0;
    virtual void Backward() = 0;
    virtual cv::Size Configure(cv::Size inputSize) = 0;
    virtual int Depth() = 0;
    virtual void Release() = 0;
    virtual float GetError(bool reset) = 0;
    virtual void SetRates(float rate, float threshold) = 0;
    virtual WeightGroups GetWeights() = 0;
    virtual void Dump(int index) = 0;
    virtual ~ILayer() = default;
};

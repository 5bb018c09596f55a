#pragma once

#include "layers/ConvolutionLayer.h"
#include "layers/ILayer.h"
#include "layers/MaxPool.h"

class Network;

// A residual block of three chained convolutions (the last with stride 2)
// beside a 2x2 max-pooling branch; both read the block's input maps and halve
// them. Its output list is the pooled inputs followed by the last
// convolution's maps. Owns its four inner layers (heap objects freed by
// Release). The output records keep their addresses from the first pass on,
// so the next layer may hold pointers to them. A first module never passes
// targets below itself, which keeps the network's input planes untouched.
class ResModule3Conv : public ILayer {
  public:
    ResModule3Conv(cv::Size minKernelSize, cv::Size maxKernelSize, int inCount, int outCount,
                   Network* network, bool firstModule);
    ~ResModule3Conv() override;
    ResModule3Conv(const ResModule3Conv&) = delete;
    ResModule3Conv& operator=(const ResModule3Conv&) = delete;

    FeatureMaps* Forward(FeatureMaps& inputs, const cv::Mat* mask) override;
    void Backward() override;
    cv::Size Configure(cv::Size inputSize) override;
    int Depth() override;
    void Release() override;
    float GetError(bool reset) override;
    void SetRates(float rate, float threshold) override;
    WeightGroups GetWeights() override;
    void Dump(int index) override;

    Network* network;
    MaxPool* pool;
    ConvolutionLayer* conv1;
    ConvolutionLayer* conv2;
    ConvolutionLayer* conv3;
    int outCount;
    int inCount;
    FeatureMaps outputs;
    bool firstModule;
};

#pragma once

#include "layers/ConvolutionLayer.h"
#include "layers/ILayer.h"
#include "layers/MaxPool.h"

class Network;

// The last residual block: 256 input maps, 512 output maps. Two chained
// convolutions (the second with stride 2) beside a 2x2 max-pooling branch;
// its output list is the pooled inputs followed by the second convolution's
// maps. Owns its three inner layers (heap objects freed by Release). The
// output records keep their addresses from the first pass on, so the next
// layer may hold pointers to them.
class ResModule2Conv : public ILayer {
  public:
    ResModule2Conv(cv::Size minKernelSize, cv::Size maxKernelSize, Network* network);
    ~ResModule2Conv() override;
    ResModule2Conv(const ResModule2Conv&) = delete;
    ResModule2Conv& operator=(const ResModule2Conv&) = delete;

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
    int outCount;
    int inCount;
    FeatureMaps outputs;
    bool firstModule;
};

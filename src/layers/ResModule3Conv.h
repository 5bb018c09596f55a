#pragma once

#include "layers/ResModul.h"

// A residual module with three convolutions: conv1 (entry, stride 1), conv2
// (stride 1) and conv3 (stride 2), each the branch width wide.
class ResModule3Conv : public ResModul {
  public:
    ResModule3Conv(cv::Size minKernelSize, cv::Size maxKernelSize, int inCount, int outCount,
                   LayerPools* pools, bool firstModule);
};

#pragma once

#include "layers/ResModul.h"

// The last residual module: 256 input maps, 512 output maps, two
// convolutions: conv1 (entry, stride 1) and conv2 (stride 2), 256 wide.
class ResModule2Conv : public ResModul {
  public:
    ResModule2Conv(cv::Size minKernelSize, cv::Size maxKernelSize, LayerPools* pools);
};

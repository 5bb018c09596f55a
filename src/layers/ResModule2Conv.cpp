#include "layers/ResModule2Conv.h"

ResModule2Conv::ResModule2Conv(cv::Size minKernelSize, cv::Size maxKernelSize, LayerPools* pools)
    : ResModul(256, 512, pools, false) {
    const int width = BranchWidth();
    AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, inCount, width, 1, pools, true));
    AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 2, pools, false));
}

#include "layers/ResModule2Conv.h"

ResModule2Conv::ResModule2Conv(cv::Size minKernelSize, cv::Size maxKernelSize, LayerPools* pools)
    : ResModul(256, 512, pools, false) {
    const int width = BranchWidth();
    conv1 = AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, inCount, width, 1, pools, true));
    conv2 = AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 2, pools, false));
}

#include "layers/ResModule3Conv.h"

ResModule3Conv::ResModule3Conv(cv::Size minKernelSize, cv::Size maxKernelSize, int inCount,
                               int outCount, LayerPools* pools, bool firstModule)
    : ResModul(inCount, outCount, pools, firstModule) {
    const int width = BranchWidth();
    AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, inCount, width, 1, pools, true));
    AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 1, pools, false));
    AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 2, pools, false));
}

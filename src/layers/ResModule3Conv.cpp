#include "layers/ResModule3Conv.h"

ResModule3Conv::ResModule3Conv(cv::Size minKernelSize, cv::Size maxKernelSize, int inCount,
                               int outCount, LayerPools* pools, bool firstModule)
    : ResModul(inCount, outCount, pools, firstModule) {
    const int width = BranchWidth();
    conv1 = AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, inCount, width, 1, pools, true));
    conv2 = AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 1, pools, false));
    conv3 = AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 2, pools, false));
}

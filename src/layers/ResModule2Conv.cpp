#include "layers/ResModule2Conv.h"

ResModule2Conv::ResModule2Conv(cv::Size minKernelSize, cv::Size maxKernelSize, Network* network)
    : ResModul(256, 512, network, false) {
    const int width = BranchWidth();
    conv1 = AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, inCount, width, 1, network, true));
    conv2 = AddConvolution(
        new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 2, network, false));
}

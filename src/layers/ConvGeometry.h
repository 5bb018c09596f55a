#pragma once

// The sizes of one convolution layer: given to its constructor (stride,
// counts, largest kernel, entry or not) and completed by Configure (the
// input and output sizes). The layer's steps read it, never change it.
struct ConvGeometry {
    int stride = 1;
    int inputCount = 0;
    int outputCount = 0;
    int maxKernelWidth = 0;  // also the width of every field's window
    bool entryLayer = false;
    int inputWidth = 0;
    int inputHeight = 0;
    int outputWidth = 0;
    int outputHeight = 0;
};

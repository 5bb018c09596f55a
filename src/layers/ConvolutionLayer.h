#pragma once

#include <vector>

#include "layers/ConvKernel.h"
#include "layers/ConvolutionFast.h"
#include "layers/DepthLine.h"
#include "layers/ILayer.h"
#include "layers/LayerPools.h"

// One output position of a convolution layer: the centre of its window in
// input coordinates (where the mask is sampled), the output cell it writes,
// and the window's depth lines in ring order (null outside the input).
struct ReceptiveField {
    int centerX = 0;
    int centerY = 0;
    int column = 0;
    int row = 0;
    std::vector<DepthLine*> lines;
};

// A sparse, masked convolution with one kernel per output map and a stride
// of 1 or 2. Outputs are computed only at fields whose mask value is above
// the threshold; all other output values are 0. Backward learns from the
// targets the layer above left in the output planes and, unless this is an
// entry layer, writes targets into the input planes at the active positions.
// Owns its kernels (never reallocated after Configure: output maps point
// into them), its output planes with their empty switches lists, and one
// DepthLine per input position, all in one block in position order (lines
// that neighbour in the image neighbour in memory); Release frees them.
// Requires: Configure exactly once; a non-entry layer must receive the same
// input list object on every pass; input planes are CV_32F of the configured
// size; the mask is one float channel of any size. A null mask selects no
// position, so every output is 0 and Backward has nothing to learn from.
// Between Forward and Backward only the layer above writes, and only into
// the output planes (Backward relies on the inputs and weights being those
// of the last Forward, unless GetWeights handed out the weights since).
//
// The implementations compute the same values bit for bit: the reference
// tasks below, which read like the arithmetic, and ConvolutionFast, which
// lays the data out for vector lanes, with the best lanes of the processor
// (Fast), the AVX2 lanes (FastAvx2, what Fast runs without AVX-512), or plain
// loops over them (FastPortable, what Fast falls back to without AVX2). One
// process-wide switch chooses.
class ConvolutionLayer : public ILayer {
  public:
    enum class Implementation { Reference, FastPortable, Fast, FastAvx2 };
    // Takes effect from the next Forward or Backward of every layer; Fast is
    // the default. Switching between a Forward and its Backward is allowed.
    static void SetImplementation(Implementation implementation);
    static Implementation GetImplementation();
    // The fast path's state, for looking at which layout it chose.
    const ConvolutionFast& FastPath() const { return fast; }
    // The error shares of the depth line at `position` (outputCount rows of
    // inputCount), as its `errors` hold them once the fast path has written
    // out those it keeps in compact form.
    std::vector<float> ErrorShares(size_t position) const;
    // The lines queued for the next Backward.
    const std::vector<DepthLine*>& ActiveLines() const { return activeLines; }

    ConvolutionLayer(cv::Size minKernelSize, cv::Size maxKernelSize, int inputCount,
                     int outputCount, int stride, LayerPools* pools, bool entryLayer);
    ~ConvolutionLayer() override;
    ConvolutionLayer(const ConvolutionLayer&) = delete;
    ConvolutionLayer& operator=(const ConvolutionLayer&) = delete;

    FeatureMaps* Forward(FeatureMaps& inputs, const cv::Mat* mask) override;
    void Backward() override;
    cv::Size Configure(cv::Size inputSize) override;
    int Depth() override;
    void Release() override;
    float GetError(bool reset) override;
    void SetRates(float rate, float threshold) override;
    WeightGroups GetWeights() override;
    void Dump(int index) override;

    LayerPools* pools;
    std::vector<ConvKernel> kernels;
    FeatureMaps* lastInputs = nullptr;
    FeatureMaps outputs;
    std::vector<ReceptiveField> fields;
    std::vector<ReceptiveField*> activeFields;
    std::vector<DepthLine*> depthLines;  // depthLines[i] is &lineStore[i]
    int stride;
    int inputCount;
    int outputCount;
    int outputWidth = 0;
    int outputHeight = 0;
    int inputWidth = 0;
    int inputHeight = 0;
    int maxKernelWidth;
    int maxKernelHeight;
    int minKernelWidth;
    int minKernelHeight;
    float threshold = 0.001f;
    float errorTotal = 0.0f;
    bool entryLayer;

  private:
    // The lanes of the chosen fast implementation, handed to the fast path,
    // or null when the reference runs (chosen, or the fast path cannot).
    const ConvLanes* FastLanes();
    void LinkInputs(FeatureMaps& inputs);
    std::vector<float> ForwardTask(std::vector<FeatureMap> maps);
    std::vector<float> ErrorTask(std::vector<FeatureMap> maps);
    std::vector<FeatureMap*> UpdateTask(std::vector<FeatureMap> maps);
    std::vector<float> DepthLineTask(std::vector<DepthLine*> lines);
    // The fast backward pass in one batch, for an entry layer or with the
    // forward pass's activations at hand; false when the update met a
    // non-finite value and was left undone for the reference. It runs on
    // the forward's pool where the pools are alike, chunk c on the worker
    // that computed band c, so that the planes and weights stay in the
    // caches they were used from and the other pools' workers sleep.
    bool FastBackward(bool shareErrors);

    // The depth lines themselves; made once with its final size, so the
    // pointers in depthLines and in the fields' windows stay valid.
    std::vector<DepthLine> lineStore;
    cv::Mat resizedMask;
    ConvolutionFast fast{*this};
    // The lines whose `active` flag is set, each once, so that Backward
    // visits only those instead of every input position. Kept only for
    // non-entry layers: an entry layer never clears its flags.
    std::vector<DepthLine*> activeLines;
};

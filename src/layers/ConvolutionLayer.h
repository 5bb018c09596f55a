#pragma once

#include <vector>

#include "layers/ActiveFields.h"
#include "layers/ConvGeometry.h"
#include "layers/ConvKernel.h"
#include "layers/ConvolutionFast.h"
#include "layers/DepthLine.h"
#include "layers/ILayer.h"
#include "layers/LayerPools.h"
#include "layers/ReceptiveField.h"

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
// The kernels and the geometry are the layer's own: others see them only as
// const, and the weights change only through the layer's passes or through
// the pointers GetWeights hands out (which tells the fast path that its
// copies of the weights may be stale).
//
// The implementations compute the same values bit for bit: the plain steps
// of ConvReference.h, which read like the arithmetic, and ConvolutionFast,
// which lays the data out for vector lanes, with the best lanes of the
// processor (Fast), the AVX2 lanes (FastAvx2, what Fast runs without
// AVX-512), or plain loops over them (FastPortable, what Fast falls back to
// without AVX2). One process-wide switch chooses.
class ConvolutionLayer : public ILayer {
  public:
    enum class Implementation { Reference, FastPortable, Fast, FastAvx2 };
    // Takes effect from the next Forward or Backward of every layer; Fast is
    // the default. Switching between a Forward and its Backward is allowed.
    static void SetImplementation(Implementation implementation);
    static Implementation GetImplementation();

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

    // What the layer is and holds, to look at.
    const ConvGeometry& Geometry() const { return geometry; }
    const std::vector<ConvKernel>& Kernels() const { return kernels; }
    const FeatureMaps& Outputs() const { return outputs; }
    const std::vector<ReceptiveField>& Fields() const { return fields; }
    const std::vector<DepthLine>& DepthLines() const { return depthLines; }
    const ActiveFields& Active() const { return activeFields; }
    const FeatureMaps* LastInputs() const { return lastInputs; }
    float Threshold() const { return threshold; }
    // The lines queued for the next Backward.
    const std::vector<DepthLine*>& ActiveLines() const { return activeLines; }
    // The error shares of the depth line at `position` (outputCount rows of
    // inputCount), as its `errors` hold them once the fast path has written
    // out those it keeps in compact form.
    std::vector<float> ErrorShares(size_t position) const;
    // The fast path's state, for looking at which layout it chose.
    const ConvolutionFast& FastPath() const { return fast; }

  private:
    // The lanes of the chosen fast implementation, or null when the
    // reference runs (chosen, or the fast path cannot).
    const ConvLanes* FastLanes() const;
    void LinkInputs(FeatureMaps& inputs);
    void MakeFields();
    ConvolutionFast::Parts FastParts();

    LayerPools* pools;
    ConvGeometry geometry;
    cv::Size minKernelSize;  // the width the kernel-size cycle falls back to
    std::vector<ConvKernel> kernels;
    FeatureMaps* lastInputs = nullptr;
    FeatureMaps outputs;
    std::vector<ReceptiveField> fields;
    ActiveFields activeFields;
    // One per input position, index y * inputWidth + x; made once with its
    // final size, so the pointers in the fields' windows stay valid.
    std::vector<DepthLine> depthLines;
    float threshold = 0.001f;
    float errorTotal = 0.0f;
    cv::Mat resizedMask;
    // The lines whose `active` flag is set, each once, so that Backward
    // visits only those instead of every input position. Kept only for
    // non-entry layers: an entry layer never clears its flags.
    std::vector<DepthLine*> activeLines;
    ConvolutionFast fast;
};

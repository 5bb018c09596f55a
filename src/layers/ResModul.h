#pragma once

#include <vector>

#include "layers/ConvolutionLayer.h"
#include "layers/ILayer.h"
#include "layers/MaxPool.h"

// A residual block: a chain of convolutions (the first an entry layer, the
// last with stride 2) beside a 2x2 max-pooling branch; both read the block's
// input maps and halve them. Its output list is the pooled inputs followed by
// the last convolution's maps. Owns its inner layers (heap objects freed by
// Release). The output records keep their addresses from the first pass on,
// so the next layer may hold pointers to them. A first module never passes
// targets below itself, which keeps the network's input planes untouched.
// The concrete modules only choose the chain; this class drives it.
class ResModul : public ILayer {
  public:
    ~ResModul() override;
    ResModul(const ResModul&) = delete;
    ResModul& operator=(const ResModul&) = delete;

    FeatureMaps* Forward(FeatureMaps& inputs, const cv::Mat* mask) override;
    void Backward() override;
    cv::Size Configure(cv::Size inputSize) override;
    int Depth() override;
    void Release() override;
    float GetError(bool reset) override;
    void SetRates(float rate, float threshold) override;
    WeightGroups GetWeights() override;
    void Dump(int index) override;

    // The inner layers, owned by the module and valid until Release: the
    // pooling branch, and convolution i of the chain (0 is conv1, the entry
    // layer; the last has stride 2).
    MaxPool& Pool() { return *pool; }
    ConvolutionLayer& Convolution(size_t i) { return *chain[i]; }
    size_t ConvolutionCount() const { return chain.size(); }
    const FeatureMaps& Outputs() const { return outputs; }

  protected:
    ResModul(int inCount, int outCount, LayerPools* pools, bool firstModule);
    // Width of the convolution branch: a first module widens its input planes
    // to outCount maps, the others double their input.
    int BranchWidth() const { return firstModule ? outCount - inCount : inCount; }
    // Appends the next convolution of the chain; the module owns it.
    void AddConvolution(ConvolutionLayer* convolution);

    int outCount;
    int inCount;
    bool firstModule;

  private:
    MaxPool* pool = nullptr;
    std::vector<ConvolutionLayer*> chain;  // first to last
    FeatureMaps outputs;
};

#pragma once

#include <vector>

#include "layers/ILayer.h"
#include "layers/LayerPools.h"

// The record of one pooled cell: where its maximum sat, the cell itself, and
// the addresses of the whole window in the source plane, row by row.
// maxCell is null when no cell of the window was above -1.0.
struct PoolLink {
    float* maxCell = nullptr;
    float* outCell = nullptr;
    std::vector<float*> window;
};

// 2x2 max pooling: halves every input map, remembers per output cell the
// argmax and the window, and in training rescales each input window so that
// its former maximum takes the target the layers above left in the output
// cell. Owns its output planes and their PoolLink lists (heap objects freed
// by Release). Requires the same input list object on every pass (it keeps
// pointers to the records) and the per-map work runs on mapTaskPool.
class MaxPool : public ILayer {
  public:
    MaxPool(int mapCount, bool skipBackward, LayerPools* pools);
    ~MaxPool() override;
    MaxPool(const MaxPool&) = delete;
    MaxPool& operator=(const MaxPool&) = delete;

    FeatureMaps* Forward(FeatureMaps& inputs, const cv::Mat* mask) override;
    void Backward() override;
    cv::Size Configure(cv::Size inputSize) override;
    int Depth() override;
    void Release() override;
    float GetError(bool reset) override;
    void SetRates(float rate, float threshold) override;
    WeightGroups GetWeights() override;
    void Dump(int index) override;

    const FeatureMaps& Outputs() const { return outputs; }
    const FeatureMaps* LastInputs() const { return lastInputs; }
    bool SkipsBackward() const { return skipBackward; }

    // The per-map work that Forward and Backward hand to mapTaskPool, one
    // chunk of output maps per call; both return an empty list.
    std::vector<float> ForwardTask(std::vector<FeatureMap> maps);
    std::vector<float> BackwardTask(std::vector<FeatureMap> maps);

  private:
    // One batch of `task` over the output maps on mapTaskPool.
    void RunOnMaps(const TaskPool<FeatureMap, float>::Task& task);

    int poolWidth = 2;
    int poolHeight = 2;
    FeatureMaps* lastInputs = nullptr;
    FeatureMaps outputs;
    cv::Size inputSize;
    int poolSize = 2;
    int mapCount;
    bool skipBackward;
    LayerPools* pools;
};

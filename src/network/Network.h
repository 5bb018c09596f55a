#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "dense/DenseStack.h"
#include "layers/FeatureMap.h"
#include "layers/ILayer.h"
#include "layers/LayerPools.h"
#include "network/Flatten.h"
#include "network/PassObserver.h"

// The engine behind one handle: the fixed chain of five residual modules,
// the dense classifier, the four worker pools and the buffers joining them,
// plus the input size, output count and category names of the loaded
// network. Owns its layers (made with new, freed by Unload through Release),
// its pools, its classifier, its input maps and planes. The layers keep a
// pointer to its pools. One host thread at a time.
class Network {
  public:
    Network() = default;
    ~Network();
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    // Builds the fixed topology for `size` (overwritten with the size of the
    // last maps), starts the pools and builds the classifier. Refuses a
    // thread count below 1 or above NetworkLimits::kMaxThreads and sizes
    // whose last maps would be empty, printing one line, before anything is
    // allocated.
    void Build(cv::Size& size, int outputs, std::vector<std::string> names, unsigned threadCount);
    void BuildInputMaps(cv::Size size);
    void BuildLayers();
    // Stops the pools, frees the layers and the classifier; categories,
    // planes and sizes stay for the next build.
    void Unload();
    bool IsBuilt() const { return !layers.empty(); }

    // One prediction pass over a prepared CV_32FC3 image and its mask.
    std::vector<float> Evaluate(const cv::Mat& image, const cv::Mat* mask);
    // One training step; returns the mean absolute output error before it.
    float TrainStep(const cv::Mat& image, const std::vector<float>& wanted, const cv::Mat* mask);
    // Gives every convolution kernel and the classifier this learning rate
    // from the next TrainStep on; the mask threshold stays. Refuses, before
    // changing anything, a network that is not built and a rate outside
    // (0, 1] (not-a-number included). A new Build starts again from
    // kDefaultLearningRate.
    void SetLearningRate(float rate);
    // Reports the steps of every following pass to `watcher` (null: to
    // nobody); the caller keeps it alive meanwhile.
    void Observe(PassObserver* watcher) { observer = watcher; }

    // References to every weight, one group per line of the network file:
    // every convolution kernel in network order, then the dense weights.
    WeightGroups CollectWeights();
    // Reads "Network.data", builds the network and fills in its weights.
    void Load(unsigned threadCount);
    // Writes the built network to "Network.data".
    void Save();

    // The network's parts, to look at.
    const LayerPools& Pools() const { return pools; }
    const std::vector<ILayer*>& Layers() const { return layers; }
    const Flatten& FlattenRecord() const { return flatten; }
    const DenseStack& Dense() const { return dense; }
    const std::vector<cv::Mat>& InputPlanes() const { return inputPlanes; }

    float maskThreshold = 0.01f;
    int outputCount = 0;
    int inputWidth = 0;
    int inputHeight = 0;
    static constexpr float kDefaultLearningRate = 0.0005f;
    float learningRate = kDefaultLearningRate;
    std::vector<std::string> categories;

  private:
    // The layers' worker pools; the layers hold a pointer to this record.
    LayerPools pools;
    FeatureMaps inputMaps;  // the three colour planes as the first layer sees them
    DenseStack dense;
    Flatten flatten;
    std::vector<ILayer*> layers;       // owned
    std::vector<cv::Mat> inputPlanes;  // three after a build; the input maps point at them
    PassObserver* observer = nullptr;
};

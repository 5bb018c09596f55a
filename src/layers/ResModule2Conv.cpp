#include "layers/ResModule2Conv.h"

#include "layers/LayerDump.h"

ResModule2Conv::ResModule2Conv(cv::Size minKernelSize, cv::Size maxKernelSize, Network* network)
    : network(network),
      pool(nullptr),
      conv1(nullptr),
      conv2(nullptr),
      outCount(512),
      inCount(256),
      firstModule(false) {
    // Reserved once so that the records never move, not even on the first pass.
    outputs.reserve(static_cast<size_t>(outCount));
    pool = new MaxPool(inCount, firstModule, network);
    const int width = firstModule ? outCount - inCount : inCount;
    conv1 = new ConvolutionLayer(minKernelSize, maxKernelSize, inCount, width, 1, network, true);
    conv2 = new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 2, network, false);
}

ResModule2Conv::~ResModule2Conv() { Release(); }

cv::Size ResModule2Conv::Configure(cv::Size inputSize) {
    const cv::Size pooled = pool->Configure(inputSize);
    cv::Size size = conv1->Configure(inputSize);
    size = conv2->Configure(size);
    if (size.width != pooled.width) throw "Resmodul resize mismatch";
    return pooled;
}

FeatureMaps* ResModule2Conv::Forward(FeatureMaps& inputs, const cv::Mat* mask) {
    if (inputs.size() != static_cast<size_t>(inCount)) throw "ResModul: Input image count mismatch";
    FeatureMaps* features = conv1->Forward(inputs, mask);
    features = conv2->Forward(*features, mask);
    FeatureMaps* pooled = pool->Forward(inputs, nullptr);

    // clear() keeps the storage, so every record lands at its old address.
    outputs.clear();
    for (const FeatureMap& map : *pooled) outputs.push_back(map);
    for (const FeatureMap& map : *features) outputs.push_back(map);
    if (outputs.size() != static_cast<size_t>(outCount)) throw "Resmodul: output count mismatch";
    return &outputs;
}

void ResModule2Conv::Backward() {
    // The targets already sit in the shared planes of pool and conv2.
    conv2->Backward();
    conv1->Backward();
    if (!firstModule) pool->Backward();
}

int ResModule2Conv::Depth() { return outCount; }

void ResModule2Conv::Release() {
    if (pool != nullptr) pool->Release();
    delete pool;
    pool = nullptr;
    for (ConvolutionLayer** conv : {&conv1, &conv2}) {
        if (*conv != nullptr) (*conv)->Release();
        delete *conv;
        *conv = nullptr;
    }
    outputs.clear();
}

float ResModule2Conv::GetError(bool) { return 0.0f; }

void ResModule2Conv::SetRates(float rate, float threshold) {
    conv1->SetRates(rate, threshold);
    conv2->SetRates(rate, threshold);
}

WeightGroups ResModule2Conv::GetWeights() {
    WeightGroups groups = conv1->GetWeights();
    WeightGroups more = conv2->GetWeights();
    groups.insert(groups.end(), more.begin(), more.end());
    return groups;
}

void ResModule2Conv::Dump(int index) { DumpMaps(outputs, index, DefaultDumpFolder()); }

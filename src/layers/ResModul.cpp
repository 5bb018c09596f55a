#include "layers/ResModul.h"

#include "layers/LayerDump.h"

ResModul::ResModul(int inCount, int outCount, LayerPools* pools, bool firstModule)
    : outCount(outCount), inCount(inCount), firstModule(firstModule) {
    // Reserved once so that the records never move, not even on the first pass.
    outputs.reserve(static_cast<size_t>(outCount));
    pool = new MaxPool(inCount, firstModule, pools);
}

ResModul::~ResModul() { Release(); }

void ResModul::AddConvolution(ConvolutionLayer* convolution) { chain.push_back(convolution); }

cv::Size ResModul::Configure(cv::Size inputSize) {
    const cv::Size pooled = pool->Configure(inputSize);
    cv::Size size = inputSize;
    for (ConvolutionLayer* convolution : chain) size = convolution->Configure(size);
    if (size.width != pooled.width) throw "Resmodul resize mismatch";
    return pooled;
}

FeatureMaps* ResModul::Forward(FeatureMaps& inputs, const cv::Mat* mask) {
    if (inputs.size() != static_cast<size_t>(inCount)) throw "ResModul: Input image count mismatch";
    FeatureMaps* features = &inputs;
    for (ConvolutionLayer* convolution : chain) features = convolution->Forward(*features, mask);
    FeatureMaps* pooled = pool->Forward(inputs, nullptr);

    // clear() keeps the storage, so every record lands at its old address.
    outputs.clear();
    for (const FeatureMap& map : *pooled) outputs.push_back(map);
    for (const FeatureMap& map : *features) outputs.push_back(map);
    if (outputs.size() != static_cast<size_t>(outCount)) throw "Resmodul: output count mismatch";
    return &outputs;
}

void ResModul::Backward() {
    // The targets already sit in the planes shared with the pool and the last
    // convolution; each convolution writes the targets of the one before it.
    for (auto convolution = chain.rbegin(); convolution != chain.rend(); ++convolution)
        (*convolution)->Backward();
    if (!firstModule) pool->Backward();
}

int ResModul::Depth() { return outCount; }

void ResModul::Release() {
    if (pool != nullptr) pool->Release();
    delete pool;
    pool = nullptr;
    for (ConvolutionLayer* convolution : chain) {
        convolution->Release();
        delete convolution;
    }
    chain.clear();
    outputs.clear();
}

float ResModul::GetError(bool) { return 0.0f; }

void ResModul::SetRates(float rate, float threshold) {
    for (ConvolutionLayer* convolution : chain) convolution->SetRates(rate, threshold);
}

WeightGroups ResModul::GetWeights() {
    WeightGroups groups;
    for (ConvolutionLayer* convolution : chain) {
        WeightGroups more = convolution->GetWeights();
        groups.insert(groups.end(), more.begin(), more.end());
    }
    return groups;
}

void ResModul::Dump(int index) { DumpMaps(outputs, index, DefaultDumpFolder()); }

#include "layers/ResModule3Conv.h"

#include "layers/LayerDump.h"

ResModule3Conv::ResModule3Conv(cv::Size minKernelSize, cv::Size maxKernelSize, int inCount,
                               int outCount, Network* network, bool firstModule)
    : network(network),
      pool(nullptr),
      conv1(nullptr),
      conv2(nullptr),
      conv3(nullptr),
      outCount(outCount),
      inCount(inCount),
      firstModule(firstModule) {
    // Reserved once so that the records never move, not even on the first pass.
    outputs.reserve(static_cast<size_t>(outCount));
    pool = new MaxPool(inCount, firstModule, network);
    // A first module widens the three input planes to outCount maps; the
    // others double their input.
    const int width = firstModule ? outCount - inCount : inCount;
    conv1 = new ConvolutionLayer(minKernelSize, maxKernelSize, inCount, width, 1, network, true);
    conv2 = new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 1, network, false);
    conv3 = new ConvolutionLayer(minKernelSize, maxKernelSize, width, width, 2, network, false);
}

ResModule3Conv::~ResModule3Conv() { Release(); }

cv::Size ResModule3Conv::Configure(cv::Size inputSize) {
    const cv::Size pooled = pool->Configure(inputSize);
    cv::Size size = conv1->Configure(inputSize);
    size = conv2->Configure(size);
    size = conv3->Configure(size);
    if (size.width != pooled.width) throw "Resmodul resize mismatch";
    return pooled;
}

FeatureMaps* ResModule3Conv::Forward(FeatureMaps& inputs, const cv::Mat* mask) {
    if (inputs.size() != static_cast<size_t>(inCount)) throw "ResModul: Input image count mismatch";
    FeatureMaps* features = conv1->Forward(inputs, mask);
    features = conv2->Forward(*features, mask);
    features = conv3->Forward(*features, mask);
    FeatureMaps* pooled = pool->Forward(inputs, nullptr);

    // clear() keeps the storage, so every record lands at its old address.
    outputs.clear();
    for (const FeatureMap& map : *pooled) outputs.push_back(map);
    for (const FeatureMap& map : *features) outputs.push_back(map);
    if (outputs.size() != static_cast<size_t>(outCount)) throw "Resmodul: output count mismatch";
    return &outputs;
}

void ResModule3Conv::Backward() {
    // The targets already sit in the shared planes of pool and conv3.
    conv3->Backward();
    conv2->Backward();
    conv1->Backward();
    if (!firstModule) pool->Backward();
}

int ResModule3Conv::Depth() { return outCount; }

void ResModule3Conv::Release() {
    if (pool != nullptr) pool->Release();
    delete pool;
    pool = nullptr;
    for (ConvolutionLayer** conv : {&conv1, &conv2, &conv3}) {
        if (*conv != nullptr) (*conv)->Release();
        delete *conv;
        *conv = nullptr;
    }
    outputs.clear();
}

float ResModule3Conv::GetError(bool) { return 0.0f; }

void ResModule3Conv::SetRates(float rate, float threshold) {
    conv1->SetRates(rate, threshold);
    conv2->SetRates(rate, threshold);
    conv3->SetRates(rate, threshold);
}

WeightGroups ResModule3Conv::GetWeights() {
    WeightGroups groups = conv1->GetWeights();
    for (ConvolutionLayer* conv : {conv2, conv3}) {
        WeightGroups more = conv->GetWeights();
        groups.insert(groups.end(), more.begin(), more.end());
    }
    return groups;
}

void ResModule3Conv::Dump(int index) { DumpMaps(outputs, index, DefaultDumpFolder()); }

#include "network/Network.h"

#include <iostream>

#include "layers/ConvolutionLayer.h"
#include "layers/ResModule2Conv.h"
#include "layers/ResModule3Conv.h"
#include "network/NetworkFile.h"
#include "network/NetworkLimits.h"
#include "network/Refuse.h"

namespace {

const char* const kNoThreads = "thread count must be at least 1";
const char* const kTooManyThreads = "thread count must be at most 256";
const char* const kTooSmall = "image size too small: width and height must be at least 32";
const char* const kNotBuilt = "no network loaded";
const char* const kNoOutputs = "output count must be at least 1";
const char* const kBadRate = "learning rate must be above 0 and at most 1";

// Only convolutions and residual modules have weights and a depth; a bare
// pooling layer passes neither.
bool IsWeighted(ILayer* layer) {
    return dynamic_cast<ConvolutionLayer*>(layer) != nullptr ||
           dynamic_cast<ResModul*>(layer) != nullptr;
}

}  // namespace

Network::~Network() { Unload(); }

void Network::Build(cv::Size& size, int outputs, std::vector<std::string> names,
                    unsigned threadCount) {
    if (threadCount < 1) Refuse(kNoThreads);
    // Four pools of this many threads each: a count beyond what any machine
    // can use is a caller's mistake, not a request to honour.
    if (threadCount > NetworkLimits::kMaxThreads) Refuse(kTooManyThreads);
    // Smaller inputs would bring the last maps down to no rows and leave the
    // classifier without inputs.
    if (size.width < 32 || size.height < 32) Refuse(kTooSmall);
    if (outputs < 1) Refuse(kNoOutputs);

    BuildInputMaps(size);
    BuildLayers();
    categories = std::move(names);
    const int threads = static_cast<int>(threadCount);
    pools.Start(threads);
    inputWidth = size.width;
    inputHeight = size.height;
    outputCount = outputs;
    learningRate = kDefaultLearningRate;

    cv::Size running = size;
    int depth = 1;
    for (ILayer* layer : layers) {
        running = layer->Configure(running);
        if (IsWeighted(layer)) {
            depth = layer->Depth();
            layer->SetRates(learningRate, maskThreshold);
        }
        size = running;
    }

    flatten.width = running.width;
    flatten.height = running.height;
    flatten.cellCount = running.width * running.height * depth;
    flatten.cells.assign(static_cast<size_t>(flatten.cellCount), nullptr);
    flatten.maps = nullptr;
    std::cout << "Image width:" << flatten.width << std::endl;
    std::cout << "Network created with dense input:" << flatten.cellCount << std::endl;
    dense.Build({flatten.cellCount, outputCount}, {1, 1}, learningRate);
}

void Network::BuildInputMaps(cv::Size size) {
    inputMaps.clear();
    // Three fresh planes; the maps point at the matrix objects, which the
    // split of every pass refills in place.
    inputPlanes.clear();
    inputPlanes.reserve(3);
    for (int k = 0; k < 3; ++k) inputPlanes.emplace_back(size.height, size.width, CV_32FC1);
    inputMaps.resize(3);
    for (int k = 0; k < 3; ++k) inputMaps[k].image = &inputPlanes[k];
}

void Network::BuildLayers() {
    layers.clear();
    const cv::Size three(3, 3);
    const cv::Size five(5, 5);
    layers.push_back(new ResModule3Conv(three, five, 3, 32, &pools, true));
    layers.push_back(new ResModule3Conv(three, three, 32, 64, &pools, false));
    layers.push_back(new ResModule3Conv(three, three, 64, 128, &pools, false));
    layers.push_back(new ResModule3Conv(three, three, 128, 256, &pools, false));
    layers.push_back(new ResModule2Conv(three, three, &pools));
}

void Network::Unload() {
    pools.Shutdown();
    for (ILayer* layer : layers) {
        layer->Release();
        delete layer;
    }
    layers.clear();
    dense.Clear();
    inputMaps.clear();
    flatten.maps = nullptr;
}

std::vector<float> Network::Evaluate(const cv::Mat& image, const cv::Mat* mask) {
    if (!IsBuilt()) throw kNotBuilt;
    if (image.channels() != 3 || image.type() != CV_32FC3) {
        std::cout << image.channels() << " : " << image.type() << std::endl;
        throw "Invalid image type";
    }
    if (mask != nullptr &&
        (mask->rows != image.rows || mask->cols != image.cols || mask->channels() != 1))
        throw "Invalid image size";
    if (!image.isContinuous()) throw "Image is not continuous";
    if (image.rows != inputHeight || image.cols != inputWidth) throw "Invalid image size";

    cv::split(image, inputPlanes);
    FeatureMaps* current = &inputMaps;
    for (size_t i = 0; i < layers.size(); ++i) {
        const PassObserver::Scope step(observer, PassObserver::Step::Forward, i);
        current = layers[i]->Forward(*current, mask);
    }
    const PassObserver::Scope step(observer, PassObserver::Step::DenseForward, 0);
    flatten.maps = current;
    flatten.Gather();
    return dense.Forward(flatten.cells);
}

float Network::TrainStep(const cv::Mat& image, const std::vector<float>& wanted,
                         const cv::Mat* mask) {
    if (!IsBuilt()) throw kNotBuilt;
    if (static_cast<long long>(wanted.size()) != outputCount) throw "Corvane: output missmatch!";
    if (image.channels() != 3 || image.type() != CV_32FC3) throw "Invalid image type";

    Evaluate(image, mask);
    float error = 0.0f;
    {
        const PassObserver::Scope step(observer, PassObserver::Step::DenseBackward, 0);
        error = dense.SetOutputErrors(wanted);
        dense.PropagateErrors();
        dense.UpdateWeights();
        dense.ComputeInputFeedback();
        flatten.Scatter(std::vector<float>(dense.inputFeedback));
    }
    for (size_t i = layers.size(); i-- > 0;) {
        const PassObserver::Scope step(observer, PassObserver::Step::Backward, i);
        layers[i]->Backward();
    }
    return error;
}

void Network::SetLearningRate(float rate) {
    if (!IsBuilt()) throw kNotBuilt;
    // Written so that not-a-number fails too.
    if (!(rate > 0.0f && rate <= 1.0f)) throw kBadRate;
    learningRate = rate;
    for (ILayer* layer : layers) {
        if (IsWeighted(layer)) layer->SetRates(learningRate, maskThreshold);
    }
    dense.learningRate = learningRate;
}

WeightGroups Network::CollectWeights() {
    WeightGroups groups;
    for (ILayer* layer : layers) {
        if (!IsWeighted(layer)) continue;
        WeightGroups layerGroups = layer->GetWeights();
        for (WeightGroup& group : layerGroups) groups.push_back(std::move(group));
    }
    groups.push_back(dense.WeightSlots());
    return groups;
}

void Network::Load(unsigned threadCount) {
    // A second load replaces the first instead of leaking its layers and threads.
    if (IsBuilt()) Unload();
    cv::Size size(0, 0);
    int count = 0;
    NetworkFile::Read(nullptr, categories, size, count);
    NetworkLimits::Check(size, count, categories);
    try {
        Build(size, count, categories, threadCount);
        WeightGroups groups = CollectWeights();
        NetworkFile::Read(&groups, categories, size, count);
    } catch (...) {
        // Leave nothing half-built behind: no pools running, no layers kept.
        Unload();
        throw;
    }
}

void Network::Save() {
    if (!IsBuilt()) throw kNotBuilt;
    NetworkFile::Write(CollectWeights(), categories, cv::Size(inputWidth, inputHeight),
                       outputCount);
}

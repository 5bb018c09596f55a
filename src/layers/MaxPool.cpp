#include "layers/MaxPool.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>

#include "common/Formulas.h"
#include "layers/ConvolutionLayer.h"

MaxPool::MaxPool(int mapCount, bool skipBackward, LayerPools* pools)
    : mapCount(mapCount), skipBackward(skipBackward), pools(pools) {}

MaxPool::~MaxPool() { Release(); }

cv::Size MaxPool::Configure(cv::Size size) {
    inputSize = size;
    if (size.width % poolSize != 0) throw "maxpool error";
    if (size.height > 1 && size.height % poolSize != 0) throw "maxpool error";
    const cv::Size outputSize(size.width / poolWidth, size.height / poolHeight);
    for (int i = 0; i < mapCount; ++i) {
        FeatureMap map;
        map.image = new cv::Mat(outputSize.height, outputSize.width, CV_32F, cv::Scalar(0));
        map.switches = new std::vector<PoolLink>();
        // Stored before the check so that Release frees it either way.
        outputs.push_back(map);
        if (!map.image->isContinuous()) throw "Image is not continuous";
    }
    return outputSize;
}

FeatureMaps* MaxPool::Forward(FeatureMaps& inputs, const cv::Mat*) {
    if (&inputs != lastInputs) {
        const size_t linked = std::min(outputs.size(), inputs.size());
        for (size_t i = 0; i < linked; ++i) outputs[i].source = &inputs[i];
        // A list of the wrong length is refused below; forgetting it makes
        // the next pass link again instead of trusting half-made links.
        lastInputs = inputs.size() == static_cast<size_t>(mapCount) ? &inputs : nullptr;
    }
    if (inputs.empty()) throw std::out_of_range("invalid vector subscript");
    if (inputs.size() != static_cast<size_t>(mapCount)) throw "Maxpool: count mismatch";
    if (inputSize.width != inputs[0].image->cols) throw "maxpool size missmatch error";

    RunOnMaps([this](std::vector<FeatureMap> chunk) { return ForwardTask(std::move(chunk)); });
    return &outputs;
}

std::vector<float> MaxPool::ForwardTask(std::vector<FeatureMap> maps) {
    for (const FeatureMap& map : maps) {
        cv::Mat& source = *map.source->image;
        cv::Mat& target = *map.image;
        std::vector<PoolLink>& links = *map.switches;
        const size_t cellCount = static_cast<size_t>(target.rows) * target.cols;
        // The window lists depend only on where the source cells lie. Lists
        // made by an earlier pass over the same plane (same first and last
        // cell, so same start and row step) are kept; otherwise they are made.
        const bool linked =
            links.size() == cellCount && cellCount > 0 && !links.front().window.empty() &&
            links.front().window.front() == source.ptr<float>(0) &&
            links.back().window.back() ==
                source.ptr<float>(target.rows * poolHeight - 1) + target.cols * poolWidth - 1;
        if (!linked) {
            links.resize(cellCount);
            size_t next = 0;
            for (int outY = 0; outY < target.rows; ++outY) {
                for (int outX = 0; outX < target.cols; ++outX) {
                    std::vector<float*>& window = links[next++].window;
                    window.clear();
                    for (int y = outY * poolHeight; y < (outY + 1) * poolHeight; ++y) {
                        float* inRow = source.ptr<float>(y);
                        for (int x = outX * poolWidth; x < (outX + 1) * poolWidth; ++x)
                            window.push_back(&inRow[x]);
                    }
                }
            }
        }
        size_t next = 0;
        // Invariant: link `next` belongs to output cell (outX, outY), row-major,
        // and its window lists that cell's source cells in row order, which
        // the loops below visit in the same order.
        for (int outY = 0; outY < target.rows; ++outY) {
            float* outRow = target.ptr<float>(outY);
            for (int outX = 0; outX < target.cols; ++outX) {
                PoolLink& link = links[next++];
                float best = -1.0f;
                float* maxCell = nullptr;
                for (int y = outY * poolHeight; y < (outY + 1) * poolHeight; ++y) {
                    float* inRow = source.ptr<float>(y);
                    for (int x = outX * poolWidth; x < (outX + 1) * poolWidth; ++x) {
                        if (inRow[x] > best) {
                            best = inRow[x];
                            maxCell = &inRow[x];
                        }
                    }
                }
                if (maxCell == nullptr) {
                    // Nothing to point back to: the cell gets 0 and Backward skips it.
                    std::cout << "too small";
                    outRow[outX] = 0.0f;
                } else {
                    outRow[outX] = *maxCell;
                }
                link.maxCell = maxCell;
                link.outCell = &outRow[outX];
            }
        }
    }
    return {};
}

void MaxPool::Backward() {
    if (skipBackward) return;
    RunOnMaps([this](std::vector<FeatureMap> chunk) { return BackwardTask(std::move(chunk)); });
}

std::vector<float> MaxPool::BackwardTask(std::vector<FeatureMap> maps) {
    for (const FeatureMap& map : maps) {
        // Invariant: windows of one map are disjoint, so every input cell is
        // rescaled at most once per pass.
        for (const PoolLink& link : *map.switches) {
            const float target = *link.outCell;
            if (std::isnan(target)) throw "MAxPool: invalid value";
            if (link.maxCell == nullptr) continue;
            const float maximum = *link.maxCell;
            const float ratio = maximum > 0.0f ? target / maximum : 0.0f;
            for (float* cell : link.window) *cell = ClampToUnit(*cell * ratio);
        }
    }
    return {};
}

void MaxPool::RunOnMaps(const TaskPool<FeatureMap, float>::Task& task) {
    // Beside the fast convolutions the calling thread takes a chunk too, as
    // they do; the reference keeps the plain batch.
    if (ConvolutionLayer::GetImplementation() == ConvolutionLayer::Implementation::Reference)
        pools->mapTaskPool.Run(outputs, task);
    else
        pools->mapTaskPool.RunSharing(outputs, task);
}

int MaxPool::Depth() { return 0; }

void MaxPool::Release() {
    for (FeatureMap& map : outputs) {
        delete map.image;
        map.image = nullptr;
        delete map.switches;
        map.switches = nullptr;
    }
    outputs.clear();
    lastInputs = nullptr;
}

float MaxPool::GetError(bool) { return 0.0f; }

void MaxPool::SetRates(float, float) {}

WeightGroups MaxPool::GetWeights() { return {}; }

void MaxPool::Dump(int) {}

#include "layers/ConvolutionLayer.h"

#include <atomic>
#include <iostream>
#include <opencv2/imgproc.hpp>

#include "layers/ActiveLineSweep.h"
#include "layers/ConvReference.h"
#include "layers/LayerDump.h"
#include "layers/MaxPool.h"

namespace {

std::atomic<ConvolutionLayer::Implementation> chosenImplementation{
    ConvolutionLayer::Implementation::Fast};

// The fast path's lanes for the chosen implementation, null for the reference.
const ConvLanes* ChosenLanes() {
    switch (ConvolutionLayer::GetImplementation()) {
        case ConvolutionLayer::Implementation::Fast:
            return &ConvLanes::Best();
        case ConvolutionLayer::Implementation::FastAvx2:
            return ConvLanes::Avx2() != nullptr ? ConvLanes::Avx2() : &ConvLanes::Portable();
        case ConvolutionLayer::Implementation::FastPortable:
            return &ConvLanes::Portable();
        default:
            return nullptr;
    }
}

}  // namespace

void ConvolutionLayer::SetImplementation(Implementation implementation) {
    chosenImplementation.store(implementation);
}

ConvolutionLayer::Implementation ConvolutionLayer::GetImplementation() {
    return chosenImplementation.load();
}

const ConvLanes* ConvolutionLayer::FastLanes() const {
    // Pools without workers fail the reference's batches; leave that to it.
    const bool poolsReady =
        pools->mapPointerPool.ThreadCount() >= 1 && pools->mapTaskPool.ThreadCount() >= 1 &&
        pools->depthLinePool.ThreadCount() >= 1 && pools->errorSumPool.ThreadCount() >= 1;
    const ConvLanes* lanes = ChosenLanes();
    if (lanes == nullptr || !fast.Usable() || !poolsReady) return nullptr;
    return lanes;
}

ConvolutionLayer::ConvolutionLayer(cv::Size minKernelSize, cv::Size maxKernelSize, int inputCount,
                                   int outputCount, int stride, LayerPools* pools, bool entryLayer)
    : pools(pools), minKernelSize(minKernelSize) {
    geometry.stride = stride;
    geometry.inputCount = inputCount;
    geometry.outputCount = outputCount;
    geometry.maxKernelWidth = maxKernelSize.width;
    geometry.entryLayer = entryLayer;
}

ConvolutionLayer::~ConvolutionLayer() { Release(); }

ConvolutionFast::Parts ConvolutionLayer::FastParts() {
    return {geometry, kernels, outputs, fields, depthLines, activeLines, activeFields, *pools};
}

cv::Size ConvolutionLayer::Configure(cv::Size inputSize) {
    if (inputSize.width % geometry.stride != 0) {
        std::cout << "Conv: wrong image size" << std::endl;
        throw "Conv: wrong image size";
    }
    geometry.inputWidth = inputSize.width;
    geometry.inputHeight = inputSize.height;
    geometry.outputWidth = geometry.inputWidth / geometry.stride;
    geometry.outputHeight = geometry.inputHeight / geometry.stride;
    const int outputWidth = geometry.outputWidth;
    const int outputHeight = geometry.outputHeight;
    const int outputCount = geometry.outputCount;

    // Output maps point into this list, so it must never grow past its reserve.
    kernels.reserve(static_cast<size_t>(outputCount));
    int size = 3;
    for (int i = 0; i < outputCount; ++i) {
        if (size > geometry.maxKernelWidth) size = minKernelSize.width;
        kernels.emplace_back(i, cv::Size(size, size), geometry.inputCount, i % 5);
        size += 2;
    }

    // The planes are views of one block, one after another, so that the
    // layer reading them can take them as they are (the block lives as long
    // as any view of it). A cache line between planes keeps the same cell of
    // neighbouring planes out of one cache set.
    const int planeFloats = outputHeight * outputWidth;
    const int planeDistance = planeFloats + 16;
    const cv::Mat block(1, planeDistance * outputCount, CV_32F, cv::Scalar(0));
    for (int i = 0; i < outputCount; ++i) {
        FeatureMap map;
        map.image =
            planeFloats == 0
                ? new cv::Mat(outputHeight, outputWidth, CV_32F)
                : new cv::Mat(block.colRange(i * planeDistance, i * planeDistance + planeFloats)
                                  .reshape(1, outputHeight));
        map.kernel = &kernels[static_cast<size_t>(i)];
        map.switches = new std::vector<PoolLink>();
        // Stored before the check so that Release frees it either way.
        outputs.push_back(map);
        if (!map.image->isContinuous()) throw "Image is not continuous";
    }

    const size_t positions = static_cast<size_t>(geometry.inputWidth) * geometry.inputHeight;
    depthLines.reserve(positions);
    for (size_t i = 0; i < positions; ++i)
        depthLines.emplace_back(geometry.inputCount, outputCount);
    if (!geometry.entryLayer) activeLines.reserve(depthLines.size());
    MakeFields();
    fast.Configure(FastParts());
    return cv::Size(outputWidth, outputHeight);
}

void ConvolutionLayer::MakeFields() {
    const int stride = geometry.stride;
    const int inputWidth = geometry.inputWidth;
    const int inputHeight = geometry.inputHeight;
    // Fields beyond the output plane (possible only for a stride that does
    // not divide the height) are not made: they would have no cell to write.
    const std::vector<cv::Point> offsets = ConvKernel::WindowOffsets(geometry.maxKernelWidth);
    fields.reserve(static_cast<size_t>(geometry.outputWidth) * geometry.outputHeight);
    int row = 0;
    for (int centerY = stride / 2; centerY < inputHeight && row < geometry.outputHeight;
         centerY += stride, ++row) {
        int column = 0;
        for (int centerX = stride / 2; centerX < inputWidth && column < geometry.outputWidth;
             centerX += stride, ++column) {
            ReceptiveField field;
            field.centerX = centerX;
            field.centerY = centerY;
            field.column = column;
            field.row = row;
            field.lines.reserve(offsets.size());
            for (const cv::Point& offset : offsets) {
                const int x = centerX + offset.x;
                const int y = centerY + offset.y;
                const bool inside = x >= 0 && x < inputWidth && y >= 0 && y < inputHeight;
                field.lines.push_back(inside ? &depthLines[static_cast<size_t>(y) * inputWidth + x]
                                             : nullptr);
            }
            fields.push_back(std::move(field));
        }
    }
    activeFields.fields.reserve(fields.size());
}

void ConvolutionLayer::LinkInputs(FeatureMaps& inputs) {
    for (int y = 0; y < geometry.inputHeight; ++y) {
        for (int x = 0; x < geometry.inputWidth; ++x) {
            DepthLine& line = depthLines[static_cast<size_t>(y) * geometry.inputWidth + x];
            for (int k = 0; k < geometry.inputCount; ++k)
                line.inputs[static_cast<size_t>(k)] =
                    inputs[static_cast<size_t>(k)].image->ptr<float>(y) + x;
        }
    }
    fast.Link(inputs, geometry);
}

FeatureMaps* ConvolutionLayer::Forward(FeatureMaps& inputs, const cv::Mat* mask) {
    if (inputs.size() != static_cast<size_t>(geometry.inputCount))
        throw "Convolution: Input maps mismatch";
    // An entry layer's input list is rebuilt by its owner, so its record
    // addresses prove nothing: link every time. (The fast path skips links
    // that would write the pointers the lines already hold.)
    const ConvLanes* lanes = FastLanes();
    if (geometry.entryLayer || &inputs != lastInputs) {
        lastInputs = &inputs;
        if (lanes == nullptr || !fast.LinkedTo(inputs)) LinkInputs(inputs);
    }

    activeFields.Clear();
    if (mask != nullptr) {
        CV_Assert(mask->type() == CV_32FC1);
        cv::resize(*mask, resizedMask, cv::Size(geometry.inputWidth, geometry.inputHeight), 0, 0,
                   cv::INTER_LINEAR);
        if (lanes != nullptr) {
            fast.SelectFields(resizedMask, threshold, FastParts());
        } else {
            fast.LinesChanged();
            ReferenceSelect(resizedMask, threshold, fields,
                            geometry.entryLayer ? nullptr : &activeLines, activeFields);
        }
    }

    fast.ForgetActivations();
    if (lanes != nullptr) {
        fast.Forward(*lanes, FastParts());
    } else {
        pools->mapTaskPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
            return ReferenceForward(chunk, activeFields.fields, kernels);
        });
    }
    return &outputs;
}

void ConvolutionLayer::Backward() {
    // Every way below may clear the lines' flags and their queue.
    fast.LinesChanged();
    const ConvLanes* lanes = FastLanes();
    if (lanes != nullptr) {
        fast.Backward(*lanes, FastParts(), errorTotal);
        return;
    }
    // The plain steps read and write the lines' rows themselves.
    fast.SyncErrorShares(depthLines);
    if (!geometry.entryLayer) {
        errorTotal = TotalInChunkOrder(
            pools->errorSumPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
                return ReferenceErrors(chunk, activeFields.fields, kernels);
            }));
    }
    // The update and the lines' sums change what the saved activations came from.
    fast.ForgetActivations();
    fast.WeightsChanged();
    pools->mapPointerPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
        return ReferenceUpdate(chunk, activeFields.fields, kernels);
    });
    if (geometry.entryLayer) return;
    ActiveLineSweep sweep(activeLines);
    pools->depthLinePool.Run(activeLines, [this](std::vector<DepthLine*> chunk) {
        return ReferenceLineSums(chunk, geometry.inputCount, geometry.outputCount);
    });
}

int ConvolutionLayer::Depth() { return static_cast<int>(kernels.size()); }

void ConvolutionLayer::Release() {
    for (FeatureMap& map : outputs) {
        delete map.image;
        delete map.switches;
    }
    outputs.clear();
    depthLines.clear();
    depthLines.shrink_to_fit();
    activeLines.clear();
    // The fields' windows point at the freed lines.
    activeFields.Clear();
    fields.clear();
    kernels.clear();
    lastInputs = nullptr;
    fast.Release();
}

std::vector<float> ConvolutionLayer::ErrorShares(size_t position) const {
    return fast.ErrorSharesAt(position, depthLines);
}

float ConvolutionLayer::GetError(bool reset) {
    const float total = errorTotal;
    if (reset) errorTotal = 0.0f;
    return total;
}

void ConvolutionLayer::SetRates(float rate, float maskThreshold) {
    for (ConvKernel& kernel : kernels) kernel.SetRate(rate);
    threshold = maskThreshold;
}

WeightGroups ConvolutionLayer::GetWeights() {
    // The caller may write through these pointers before the next Forward
    // or Backward.
    fast.ForgetActivations();
    fast.WeightsChanged();
    WeightGroups groups;
    for (ConvKernel& kernel : kernels) {
        WeightGroup group;
        float* weights = kernel.MutableWeights();
        for (size_t i = 0; i < kernel.Weights().size(); ++i) group.push_back(weights + i);
        groups.push_back(std::move(group));
    }
    return groups;
}

void ConvolutionLayer::Dump(int index) { DumpMaps(outputs, index, DefaultDumpFolder()); }

#include "layers/ConvolutionFast.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/core.hpp>

#include "layers/ConvKernel.h"
#include "layers/ConvolutionLayer.h"

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// Working memory of one worker thread. The vectors only grow, so after the
// first passes a task allocates nothing.
struct Scratch {
    std::vector<float> sums;
    // The update task's kernel groups: map positions in group order, and per
    // group its first entry in `order`, its size and where its lanes start.
    std::vector<int> groupOf;
    std::vector<int> groupFirst;
    std::vector<int> groupSize;
    std::vector<int> groupStart;
    std::vector<int> order;
    std::vector<int> placed;
    std::vector<size_t> groupWeights;
    std::vector<int> groupLanes;
    std::vector<float> weights;
    std::vector<float> bias;
    std::vector<float> rate;
    std::vector<float> slope;
    std::vector<float> output;
    std::vector<float> steps;
    std::vector<float*> targets;
    std::vector<const float*> entryInputs;
    std::vector<int> entries;
    std::vector<float> row;
};

Scratch& ThreadScratch() {
    thread_local Scratch scratch;
    return scratch;
}

int RoundUpToLanes(int count) { return (count + kWidth - 1) / kWidth * kWidth; }

// The kernel's activation of a full sum, as ConvKernel::Respond clips it.
float Activate(float bias, float sum, float slope) {
    float x = bias + sum;
    if (!(x > 0.0f)) x = slope;
    if (x > 1.0f) x = 1.0f;
    return x;
}

}  // namespace

ConvolutionFast::ConvolutionFast(ConvolutionLayer& layer)
    : layer(layer), lanes(&ConvLanes::Best()) {}

void ConvolutionFast::Configure() {
    const int s = layer.stride;
    const int width = layer.inputWidth;
    const int height = layer.inputHeight;
    const int outWidth = layer.outputWidth;
    const int outHeight = layer.outputHeight;

    const std::vector<cv::Point> offsets = ConvKernel::WindowOffsets(layer.maxKernelWidth);
    windowCount = static_cast<int>(offsets.size());
    pad = layer.maxKernelWidth / 2;
    usable = s >= 1 && outWidth > 0 && outHeight > 0 &&
             layer.fields.size() == static_cast<size_t>(outWidth) * outHeight;
    for (const ConvKernel& kernel : layer.kernels)
        for (const int number : kernel.pattern)
            usable = usable && number >= 0 && number < windowCount;
    if (!usable) return;

    windowDx.resize(static_cast<size_t>(windowCount));
    windowDy.resize(static_cast<size_t>(windowCount));
    for (int w = 0; w < windowCount; ++w) {
        windowDx[w] = offsets[w].x;
        windowDy[w] = offsets[w].y;
    }

    // Split by phase, a stride-s plane becomes s * s planes in which the
    // centres of neighbouring output positions are neighbours again; the
    // padding keeps every window position of every lane inside the copy.
    phaseCount = s * s;
    phaseWidth = (width + 2 * pad + s - 1) / s;
    const int phaseHeight = (height + 2 * pad + s - 1) / s;
    tapPhase.resize(static_cast<size_t>(windowCount));
    tapOffset.resize(static_cast<size_t>(windowCount));
    int maxOffset = 0;
    for (int w = 0; w < windowCount; ++w) {
        const int x = s / 2 + pad + windowDx[w];
        const int y = s / 2 + pad + windowDy[w];
        tapPhase[w] = (y % s) * s + x % s;
        tapOffset[w] = (y / s) * phaseWidth + x / s;
        maxOffset = std::max(maxOffset, tapOffset[w]);
    }
    const int laneCount = (outHeight - 1) * phaseWidth + outWidth;
    blockCount = (laneCount + kWidth - 1) / kWidth;
    planeSize = std::max(static_cast<size_t>(phaseHeight) * phaseWidth,
                         static_cast<size_t>(blockCount) * kWidth + maxOffset);
    planes.assign(static_cast<size_t>(layer.inputCount) * phaseCount * planeSize, 0.0f);

    laneCell.assign(static_cast<size_t>(blockCount) * kWidth, -1);
    validBits.assign(static_cast<size_t>(blockCount) * windowCount, 0);
    interior.assign(static_cast<size_t>(blockCount), 1);
    for (int q = 0; q < blockCount * kWidth; ++q) {
        const int row = q / phaseWidth;
        const int column = q % phaseWidth;
        if (row >= outHeight || column >= outWidth) continue;
        laneCell[q] = row * outWidth + column;
        const int centerX = s * column + s / 2;
        const int centerY = s * row + s / 2;
        const int block = q / kWidth;
        for (int w = 0; w < windowCount; ++w) {
            const int x = centerX + windowDx[w];
            const int y = centerY + windowDy[w];
            if (x >= 0 && x < width && y >= 0 && y < height)
                validBits[static_cast<size_t>(block) * windowCount + w] |=
                    static_cast<std::uint8_t>(1u << (q % kWidth));
            else
                interior[block] = 0;
        }
    }
    activeBits.assign(static_cast<size_t>(blockCount), 0);
    activeBlocks.reserve(static_cast<size_t>(blockCount));

    cellCount = static_cast<size_t>(outWidth) * outHeight;
    activations.assign(static_cast<size_t>(layer.outputCount) * cellCount, 0.0f);
    inputRows.assign(static_cast<size_t>(layer.inputCount), nullptr);
    inputSteps.assign(static_cast<size_t>(layer.inputCount), 0);
    packedInputs.assign(static_cast<size_t>(width) * height * layer.inputCount, 0.0f);
    activationsFresh = false;
}

void ConvolutionFast::Release() {
    usable = false;
    activationsFresh = false;
    for (std::vector<float>* buffer : {&planes, &activations, &packedInputs}) {
        buffer->clear();
        buffer->shrink_to_fit();
    }
    validBits.clear();
    interior.clear();
    laneCell.clear();
    activeBits.clear();
    activeBlocks.clear();
    inputRows.clear();
    inputSteps.clear();
}

void ConvolutionFast::Link(const FeatureMaps& inputs) {
    if (!usable) return;
    for (size_t k = 0; k < inputRows.size(); ++k) {
        inputRows[k] = inputs[k].image->ptr<float>(0);
        inputSteps[k] = inputs[k].image->step1();
    }
}

void ConvolutionFast::PrepareForward() {
    const int s = layer.stride;
    const int width = layer.inputWidth;
    for (size_t k = 0; k < inputRows.size(); ++k) {
        float* inputPlanes = planes.data() + k * phaseCount * planeSize;
        for (int y = 0; y < layer.inputHeight; ++y) {
            const float* source = inputRows[k] + static_cast<size_t>(y) * inputSteps[k];
            const int paddedY = y + pad;
            if (s == 1) {
                std::memcpy(inputPlanes + static_cast<size_t>(paddedY) * phaseWidth + pad, source,
                            static_cast<size_t>(width) * sizeof(float));
                continue;
            }
            for (int x = 0; x < width; ++x) {
                const int paddedX = x + pad;
                const int phase = (paddedY % s) * s + paddedX % s;
                inputPlanes[phase * planeSize + static_cast<size_t>(paddedY / s) * phaseWidth +
                            paddedX / s] = source[x];
            }
        }
    }

    std::fill(activeBits.begin(), activeBits.end(), 0);
    for (const ReceptiveField* field : layer.activeFields) {
        const int q = field->row * phaseWidth + field->column;
        activeBits[q / kWidth] |= static_cast<std::uint8_t>(1u << (q % kWidth));
    }
    activeBlocks.clear();
    for (int block = 0; block < blockCount; ++block)
        if (activeBits[block] != 0) activeBlocks.push_back(block);
}

size_t ConvolutionFast::Forward(const std::vector<FeatureMap>& maps) {
    Scratch& scratch = ThreadScratch();
    scratch.sums.resize(activeBlocks.size() * kWidth);
    ConvLanes::ForwardJob job;
    job.planes = planes.data();
    job.planeSize = planeSize;
    job.phaseCount = phaseCount;
    job.inputCount = layer.inputCount;
    job.tapPhase = tapPhase.data();
    job.tapOffset = tapOffset.data();
    job.blocks = activeBlocks.data();
    job.blockCount = static_cast<int>(activeBlocks.size());
    job.validBits = validBits.data();
    job.interior = interior.data();
    job.windowCount = windowCount;

    for (size_t m = 0; m < maps.size(); ++m) {
        ConvKernel& kernel = *maps[m].kernel;
        job.pattern = kernel.pattern.data();
        job.patternLength = static_cast<int>(kernel.pattern.size());
        job.weights = kernel.weights.data();
        lanes->forwardSums(job, scratch.sums.data());

        float* plane = maps[m].image->ptr<float>(0);
        float* saved = activations.data() + static_cast<size_t>(kernel.index) * cellCount;
        std::fill(plane, plane + cellCount, 0.0f);
        const float bias = kernel.weights[static_cast<size_t>(kernel.weightCount)];
        bool any = false;
        float last = 0.0f;
        // Blocks come in lane order, which is the order of the active fields.
        for (size_t i = 0; i < activeBlocks.size(); ++i) {
            const int block = activeBlocks[i];
            for (int lane = 0; lane < kWidth; ++lane) {
                if ((activeBits[block] >> lane & 1) == 0) continue;
                const float sum = scratch.sums[i * kWidth + lane];
                // A NaN anywhere in the running sum leaves the final sum NaN.
                if (std::isnan(sum)) return m;
                const float value = Activate(bias, sum, kernel.slope);
                const int cell = laneCell[static_cast<size_t>(block) * kWidth + lane];
                plane[cell] = value;
                saved[cell] = value;
                last = value;
                any = true;
            }
        }
        if (any) kernel.output = last;
    }
    return maps.size();
}

float ConvolutionFast::ErrorShares(const std::vector<FeatureMap>& maps) {
    const int n = layer.inputCount;
    const int outWidth = layer.outputWidth;
    float total = 0.0f;
    for (const FeatureMap& map : maps) {
        const ConvKernel& kernel = *map.kernel;
        const float* targets = map.image->ptr<float>(0);
        const float* saved = activations.data() + static_cast<size_t>(kernel.index) * cellCount;
        // Invariant: total holds the absolute errors of the earlier maps and
        // fields in the plain task's order.
        for (const ReceptiveField* field : layer.activeFields) {
            const int cell = field->row * outWidth + field->column;
            const float err = targets[cell] - saved[cell];
            total = total + std::fabs(err);
            for (size_t j = 0; j < kernel.pattern.size(); ++j) {
                DepthLine* line = field->lines[static_cast<size_t>(kernel.pattern[j])];
                if (line == nullptr) continue;
                lanes->scaleRow(line->ErrorRow(kernel.index), kernel.weights.data() + j * n, err,
                                n);
            }
        }
    }
    return total;
}

void ConvolutionFast::PrepareUpdate() {
    const size_t n = inputRows.size();
    for (int y = 0; y < layer.inputHeight; ++y) {
        float* packed = packedInputs.data() + static_cast<size_t>(y) * layer.inputWidth * n;
        for (size_t k = 0; k < n; ++k) {
            const float* source = inputRows[k] + static_cast<size_t>(y) * inputSteps[k];
            for (int x = 0; x < layer.inputWidth; ++x) packed[x * n + k] = source[x];
        }
    }
}

bool ConvolutionFast::Update(const std::vector<FeatureMap>& maps) {
    Scratch& s = ThreadScratch();
    const int n = layer.inputCount;
    const int outWidth = layer.outputWidth;

    // Kernels with equal patterns share a group and run side by side.
    s.groupOf.assign(maps.size(), -1);
    s.groupFirst.clear();
    for (size_t m = 0; m < maps.size(); ++m) {
        for (size_t g = 0; g < s.groupFirst.size() && s.groupOf[m] < 0; ++g)
            if (maps[static_cast<size_t>(s.groupFirst[g])].kernel->pattern ==
                maps[m].kernel->pattern)
                s.groupOf[m] = static_cast<int>(g);
        if (s.groupOf[m] >= 0) continue;
        s.groupOf[m] = static_cast<int>(s.groupFirst.size());
        s.groupFirst.push_back(static_cast<int>(m));
    }
    const size_t groupCount = s.groupFirst.size();
    s.groupSize.assign(groupCount, 0);
    for (const int g : s.groupOf) ++s.groupSize[static_cast<size_t>(g)];
    s.groupStart.assign(groupCount, 0);
    s.groupLanes.assign(groupCount, 0);
    s.groupWeights.assign(groupCount, 0);
    size_t weightTotal = 0;
    int laneTotal = 0;
    for (size_t g = 0; g < groupCount; ++g) {
        if (g > 0) s.groupStart[g] = s.groupStart[g - 1] + s.groupSize[g - 1];
        s.groupLanes[g] = laneTotal;
        s.groupWeights[g] = weightTotal;
        const int laneCount = RoundUpToLanes(s.groupSize[g]);
        const ConvKernel& first = *maps[static_cast<size_t>(s.groupFirst[g])].kernel;
        laneTotal += laneCount;
        weightTotal += static_cast<size_t>(first.weightCount) * laneCount;
    }
    s.order.resize(maps.size());
    s.placed.assign(groupCount, 0);
    for (size_t m = 0; m < maps.size(); ++m) {
        const size_t g = static_cast<size_t>(s.groupOf[m]);
        s.order[static_cast<size_t>(s.groupStart[g] + s.placed[g]++)] = static_cast<int>(m);
    }

    s.weights.assign(weightTotal, 0.0f);
    for (std::vector<float>* laneValues : {&s.bias, &s.rate, &s.slope, &s.output, &s.steps})
        laneValues->assign(static_cast<size_t>(laneTotal), 0.0f);
    s.targets.assign(static_cast<size_t>(laneTotal), nullptr);
    for (size_t g = 0; g < groupCount; ++g) {
        const int laneCount = RoundUpToLanes(s.groupSize[g]);
        for (int member = 0; member < s.groupSize[g]; ++member) {
            const FeatureMap& map =
                maps[static_cast<size_t>(s.order[static_cast<size_t>(s.groupStart[g] + member)])];
            const ConvKernel& kernel = *map.kernel;
            float* weights = s.weights.data() + s.groupWeights[g] + member;
            for (int i = 0; i < kernel.weightCount; ++i)
                weights[static_cast<size_t>(i) * laneCount] =
                    kernel.weights[static_cast<size_t>(i)];
            const size_t lane = static_cast<size_t>(s.groupLanes[g] + member);
            s.bias[lane] = kernel.weights[static_cast<size_t>(kernel.weightCount)];
            s.rate[lane] = kernel.rate;
            s.slope[lane] = kernel.slope;
            s.output[lane] = kernel.output;
            s.targets[lane] = map.image->ptr<float>(0);
        }
    }

    const size_t maxEntries = static_cast<size_t>(windowCount);
    s.entryInputs.resize(maxEntries);
    s.entries.resize(maxEntries);
    s.sums.resize(static_cast<size_t>(laneTotal));
    for (size_t g = 0; g < groupCount; ++g) {
        const ConvKernel& first = *maps[static_cast<size_t>(s.groupFirst[g])].kernel;
        const std::vector<int>& pattern = first.pattern;
        const int members = s.groupSize[g];
        const size_t lane0 = static_cast<size_t>(s.groupLanes[g]);
        ConvLanes::GroupJob job;
        job.inputs = s.entryInputs.data();
        job.entries = s.entries.data();
        job.inputCount = n;
        job.weights = s.weights.data() + s.groupWeights[g];
        job.laneCount = RoundUpToLanes(members);

        // Positions in order: each one's response uses the weights that the
        // positions before it have left, as in the plain online update.
        for (const ReceptiveField* field : layer.activeFields) {
            int entryCount = 0;
            for (size_t j = 0; j < pattern.size(); ++j) {
                const int number = pattern[j];
                if (field->lines[static_cast<size_t>(number)] == nullptr) continue;
                const size_t position =
                    static_cast<size_t>(field->centerY + windowDy[number]) * layer.inputWidth +
                    (field->centerX + windowDx[number]);
                s.entryInputs[static_cast<size_t>(entryCount)] = packedInputs.data() + position * n;
                s.entries[static_cast<size_t>(entryCount)] = static_cast<int>(j);
                ++entryCount;
            }
            job.entryCount = entryCount;
            lanes->groupRespond(job, s.sums.data() + lane0);

            const int cell = field->row * outWidth + field->column;
            for (int member = 0; member < members; ++member) {
                const size_t lane = lane0 + static_cast<size_t>(member);
                const float sum = s.sums[lane];
                if (std::isnan(sum)) return false;
                const float value = Activate(s.bias[lane], sum, s.slope[lane]);
                const float err = s.targets[lane][cell] - value;
                const float d = value <= 0.0f ? s.slope[lane] : 0.999f;
                const float step = (err * s.rate[lane]) * d;
                s.steps[lane] = step;
                s.bias[lane] = step + s.bias[lane];
                s.output[lane] = value;
            }
            lanes->groupUpdate(job, s.steps.data() + lane0);
        }

        // A weight that went NaN or infinite stays so (inf + x is inf or
        // NaN), so checking at the end catches every step that would throw.
        const int weightCount = first.weightCount;
        for (int i = 0; i < weightCount; ++i) {
            const float* row = job.weights + static_cast<size_t>(i) * job.laneCount;
            for (int member = 0; member < members; ++member)
                if (!std::isfinite(row[member])) return false;
        }
    }

    for (size_t g = 0; g < groupCount; ++g) {
        const int laneCount = RoundUpToLanes(s.groupSize[g]);
        for (int member = 0; member < s.groupSize[g]; ++member) {
            ConvKernel& kernel =
                *maps[static_cast<size_t>(s.order[static_cast<size_t>(s.groupStart[g] + member)])]
                     .kernel;
            const float* weights = s.weights.data() + s.groupWeights[g] + member;
            for (int i = 0; i < kernel.weightCount; ++i)
                kernel.weights[static_cast<size_t>(i)] =
                    weights[static_cast<size_t>(i) * laneCount];
            const size_t lane = static_cast<size_t>(s.groupLanes[g] + member);
            kernel.weights[static_cast<size_t>(kernel.weightCount)] = s.bias[lane];
            kernel.output = s.output[lane];
        }
    }
    return true;
}

void ConvolutionFast::DepthLines(const std::vector<DepthLine*>& lines) {
    const int n = layer.inputCount;
    std::vector<float>& row = ThreadScratch().row;
    for (DepthLine* line : lines) {
        if (!line->active) continue;
        line->active = false;
        row.assign(static_cast<size_t>(n), 0.0f);
        // Every input keeps its own running sum over the output maps in order.
        for (int i = 0; i < layer.outputCount; ++i) lanes->addRow(row.data(), line->ErrorRow(i), n);
        for (int k = 0; k < n; ++k) {
            float& value = *line->inputs[static_cast<size_t>(k)];
            value = value + row[static_cast<size_t>(k)];
            if (value > 1.0f) value = 1.0f;
            if (value < 0.0f) value = 0.0f;
        }
    }
}

#include "layers/ConvForwardLanes.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>

#include "common/Formulas.h"
#include "common/ThreadScratch.h"
#include "layers/ConvPatternGroups.h"

namespace {

constexpr int kWidth = ConvLanes::kWidth;
// Kernels per call of the forward vector loops: their sums stay in cache
// until the activations are taken from them.
constexpr int kForwardTile = 4;
// Gathered blocks per round: their columns (every window position and
// input) stay in cache while all kernels of the chunk read them.
constexpr int kSpan = 16;

// Working memory of one worker thread; it only grows.
struct ForwardScratch {
    ConvPatternGroups groups;
    std::vector<float> sums;
    std::vector<float> columns;
    std::vector<float> gathered;
    std::vector<int> windows;
    std::vector<int> columnOffset;
    std::vector<int> zeros;
    std::vector<int> identity;
    std::vector<const float*> entryInputs;
    std::vector<int> entries;
};

// The forward vector loops over job's blocks for every pattern group of the
// chunk, a few kernels at a time; take(kernel, sums) gets each kernel's sums
// and returns false on a NaN. Returns the chunk position of the first map
// that met one, or maps.size().
template <typename Take>
size_t ForwardGroups(const ConvLanes& lanes, const std::vector<FeatureMap>& maps, ForwardScratch& s,
                     ConvLanes::ForwardJob& job, Take take) {
    const ConvPatternGroups& groups = s.groups;
    size_t failed = maps.size();
    for (size_t g = 0; g < groups.Count(); ++g) {
        const std::vector<int>& pattern =
            maps[static_cast<size_t>(groups.groupFirst[g])].kernel->Pattern();
        job.pattern = pattern.data();
        job.patternLength = static_cast<int>(pattern.size());
        for (int tile = 0; tile < groups.groupSize[g]; tile += kForwardTile) {
            const int count = std::min(kForwardTile, groups.groupSize[g] - tile);
            const float* weights[kForwardTile];
            const int* members = groups.order.data() + groups.groupStart[g] + tile;
            for (int t = 0; t < count; ++t)
                weights[t] = maps[static_cast<size_t>(members[t])].kernel->Weights().data();
            job.weights = weights;
            job.kernelCount = count;
            lanes.forwardSums(job, s.sums.data());
            for (int t = 0; t < count; ++t) {
                const ConvKernel& kernel = *maps[static_cast<size_t>(members[t])].kernel;
                const float* sums =
                    s.sums.data() + static_cast<size_t>(t) * job.blockCount * kWidth;
                if (!take(kernel, sums)) failed = std::min(failed, static_cast<size_t>(members[t]));
            }
        }
    }
    return failed;
}

}  // namespace

void ConvForwardLanes::Allocate(size_t kernelCount, const ConvFastLayout& layout) {
    laneCapacity = layout.laneCapacity;
    activations.assign(kernelCount * laneCapacity, 0.0f);
}

void ConvForwardLanes::Release() {
    activations.clear();
    activations.shrink_to_fit();
}

size_t ConvForwardLanes::Compute(const Inputs& in, const std::vector<FeatureMap>& maps) {
    switch (in.plan->ForwardLayout()) {
        case ConvForwardPlan::Layout::Kernels:
            return ByKernels(in, maps);
        case ConvForwardPlan::Layout::GatheredPositions:
            return ByGathered(in, maps, 0, in.plan->GatherBlocks());
        case ConvForwardPlan::Layout::Positions:
            break;
    }
    return ByPositions(in, maps, 0, in.plan->ActiveBlocks().size());
}

bool ConvForwardLanes::ComputeBand(const Inputs& in, const std::vector<FeatureMap>& maps,
                                   size_t band) {
    const int begin = in.plan->BandBlocks()[band];
    const int end = in.plan->BandBlocks()[band + 1];
    if (in.plan->ForwardLayout() == ConvForwardPlan::Layout::GatheredPositions)
        return ByGathered(in, maps, begin, end) == maps.size();
    return ByPositions(in, maps, static_cast<size_t>(begin), static_cast<size_t>(end)) ==
           maps.size();
}

void ConvForwardLanes::WriteOutputs(const Inputs& in, const std::vector<FeatureMap>& maps,
                                    std::vector<ConvKernel>& kernels) {
    WriteRows(in, maps, kernels, 0, in.geometry->outputHeight, 0, in.active->fields.size());
}

void ConvForwardLanes::WriteRows(const Inputs& in, const std::vector<FeatureMap>& maps,
                                 std::vector<ConvKernel>& kernels, int firstRow, int endRow,
                                 size_t firstField, size_t endField) {
    const size_t outputWidth = static_cast<size_t>(in.geometry->outputWidth);
    const size_t firstCell = static_cast<size_t>(firstRow) * outputWidth;
    const size_t endCell = static_cast<size_t>(endRow) * outputWidth;
    const std::vector<size_t>& cells = in.active->cells;
    const std::vector<size_t>& lanes = in.active->lanes;
    // The kernel remembers its last response, that of the last field; the
    // rows holding it set it.
    const bool holdsLast = firstField < endField && endField == lanes.size();
    for (const FeatureMap& map : maps) {
        const size_t index = static_cast<size_t>(map.kernel->Index());
        float* plane = map.image->ptr<float>(0);
        const float* saved = activations.data() + index * laneCapacity;
        std::fill(plane + firstCell, plane + endCell, 0.0f);
        for (size_t f = firstField; f < endField; ++f) plane[cells[f]] = saved[lanes[f]];
        if (holdsLast) kernels[index].SetOutput(saved[lanes.back()]);
    }
}

size_t ConvForwardLanes::ByPositions(const Inputs& in, const std::vector<FeatureMap>& maps,
                                     size_t begin, size_t end) {
    ForwardScratch& s = ThreadScratch<ForwardScratch>();
    const ConvFastLayout& layout = *in.layout;
    const ConvForwardPlan& plan = *in.plan;
    s.groups.Make(maps, layout.patternOf);
    const size_t blocks = end - begin;
    s.sums.resize(kForwardTile * blocks * kWidth);
    ConvLanes::ForwardJob job;
    job.planes = in.copy.values;
    job.planeSize = layout.planeSize;
    job.phaseCount = layout.phaseCount;
    job.inputCount = in.geometry->inputCount;
    job.tapPhase = layout.tapPhase.data();
    job.tapOffset = layout.tapOffset.data();
    job.blocks = plan.ActiveBlocks().data() + begin;
    job.blockCount = static_cast<int>(blocks);
    job.validBits = layout.validBits.data();
    job.interior = layout.interior.data();
    job.windowCount = layout.windowCount;

    return ForwardGroups(*in.lanes, maps, s, job, [&](const ConvKernel& kernel, const float* sums) {
        // A NaN anywhere in a running sum leaves the final sum NaN.
        return in.lanes->activate(
            sums, plan.ActiveBlocks().data() + begin, static_cast<int>(blocks),
            plan.ActiveBits().data(), kernel.Bias(), kernel.Slope(),
            activations.data() + static_cast<size_t>(kernel.Index()) * laneCapacity);
    });
}

size_t ConvForwardLanes::ByGathered(const Inputs& in, const std::vector<FeatureMap>& maps,
                                    int begin, int end) {
    ForwardScratch& s = ThreadScratch<ForwardScratch>();
    const ConvFastLayout& layout = *in.layout;
    const ConvForwardPlan& plan = *in.plan;
    const int windowCount = layout.windowCount;
    s.groups.Make(maps, layout.patternOf);
    const ConvPatternGroups& groups = s.groups;
    const int n = in.geometry->inputCount;

    // The window positions the chunk's patterns read, in order, and where
    // each one's columns start within a round.
    std::vector<int>& windows = s.windows;
    windows.clear();
    s.columnOffset.assign(static_cast<size_t>(windowCount), 0);
    for (int w = 0; w < windowCount; ++w) {
        bool used = false;
        for (size_t g = 0; g < groups.Count() && !used; ++g) {
            const std::vector<int>& pattern =
                maps[static_cast<size_t>(groups.groupFirst[g])].kernel->Pattern();
            used = std::find(pattern.begin(), pattern.end(), w) != pattern.end();
        }
        if (used) windows.push_back(w);
    }
    s.zeros.assign(static_cast<size_t>(windowCount), 0);
    s.identity.resize(kSpan);
    for (int b = 0; b < kSpan; ++b) s.identity[static_cast<size_t>(b)] = b;
    s.sums.resize(static_cast<size_t>(kForwardTile) * kSpan * kWidth);
    s.gathered.resize(static_cast<size_t>(kSpan) * kWidth);

    ConvLanes::GatherJob gather;
    gather.planes = in.copy.values;
    gather.planeSize = layout.planeSize;
    gather.phaseCount = layout.phaseCount;
    gather.inputCount = n;
    gather.windows = windows.data();
    gather.windowCount = static_cast<int>(windows.size());
    gather.tapPhase = layout.tapPhase.data();
    gather.tapOffset = layout.tapOffset.data();
    if (in.copy.kind == ConvInputCopies::Copy::Kind::None) {
        gather.sources = in.planes->Rows().data();
        gather.windowShift = in.planes->WindowShift().data();
        gather.validStride = windowCount;
    }

    // The columns read as planes: one phase, input k a round's lanes apart,
    // window position w at its columns.
    ConvLanes::ForwardJob job;
    job.phaseCount = 1;
    job.inputCount = n;
    job.tapPhase = s.zeros.data();
    job.tapOffset = s.columnOffset.data();
    job.blocks = s.identity.data();
    job.windowCount = windowCount;

    const std::vector<std::int32_t>& gatherLanes = plan.GatherLanes();
    const std::vector<std::uint8_t>& gatherActive = plan.GatherActive();
    size_t failed = maps.size();
    for (int first = begin; first < end; first += kSpan) {
        const int count = std::min(kSpan, end - first);
        const size_t roundLanes = static_cast<size_t>(count) * kWidth;
        gather.lanes = gatherLanes.data() + static_cast<size_t>(first) * kWidth;
        gather.sourceLanes = plan.GatherSources().data() + static_cast<size_t>(first) * kWidth;
        gather.valid = plan.GatherValid().data() + static_cast<size_t>(first) * windowCount;
        gather.blockCount = count;
        // Grown only (a smaller layer's round would zero what a larger one
        // finds again): the gather writes every float the round reads.
        const size_t columnFloats = windows.size() * n * roundLanes;
        if (s.columns.size() < columnFloats) s.columns.resize(columnFloats);
        in.lanes->gatherColumns(gather, s.columns.data());
        for (size_t i = 0; i < windows.size(); ++i)
            s.columnOffset[static_cast<size_t>(windows[i])] = static_cast<int>(i * n * roundLanes);
        job.planes = s.columns.data();
        job.planeSize = roundLanes;
        job.blockCount = count;
        job.validBits = plan.GatherValid().data() + static_cast<size_t>(first) * windowCount;
        job.interior = plan.GatherInterior().data() + first;
        const std::int32_t* roundLanePositions = gatherLanes.data() + first * kWidth;

        const size_t failedHere = ForwardGroups(
            *in.lanes, maps, s, job, [&](const ConvKernel& kernel, const float* sums) {
                const bool done =
                    in.lanes->activate(sums, s.identity.data(), count, gatherActive.data() + first,
                                       kernel.Bias(), kernel.Slope(), s.gathered.data());
                float* saved =
                    activations.data() + static_cast<size_t>(kernel.Index()) * laneCapacity;
                // Back to the lanes of the active fields only.
                for (size_t i = 0; i < roundLanes; ++i)
                    if ((gatherActive[static_cast<size_t>(first) + i / kWidth] >> (i % kWidth) &
                         1) != 0)
                        saved[roundLanePositions[i]] = s.gathered[i];
                return done;
            });
        failed = std::min(failed, failedHere);
    }
    return failed;
}

size_t ConvForwardLanes::ByKernels(const Inputs& in, const std::vector<FeatureMap>& maps) {
    if (maps.empty()) return 0;
    ForwardScratch& s = ThreadScratch<ForwardScratch>();
    const ConvFastLayout& layout = *in.layout;
    ConvPatternGroups& groups = s.groups;
    groups.LayOut(maps, layout.patternOf);
    ConvWeightCache::Copy& cache = in.cache->For(maps, groups, *in.lanes);
    s.entryInputs.resize(static_cast<size_t>(layout.windowCount));
    s.entries.resize(static_cast<size_t>(layout.windowCount));
    size_t failed = maps.size();
    for (size_t g = 0; g < groups.Count(); ++g) {
        const ConvKernel& first = *maps[static_cast<size_t>(groups.groupFirst[g])].kernel;
        const int* members = groups.order.data() + groups.groupStart[g];
        const int memberCount = groups.groupSize[g];
        ConvLanes::GroupJob job;
        job.inputs = s.entryInputs.data();
        job.entries = s.entries.data();
        job.inputCount = in.geometry->inputCount;
        job.inputStride = in.copy.stride;
        job.laneCount = ConvFastLayout::RoundUpToLanes(memberCount);
        s.sums.resize(static_cast<size_t>(job.laneCount));
        // Read only here: the weights do not change during a forward pass.
        job.weights = cache.weights.data() + groups.groupWeights[g];

        for (const ReceptiveField* field : in.active->fields) {
            job.entryCount = in.copy.Entries(*field, first.Pattern(), layout, s.entryInputs.data(),
                                             s.entries.data());
            in.lanes->groupRespond(job, s.sums.data());
            const size_t lane = layout.LaneOf(*field);
            for (int member = 0; member < memberCount; ++member) {
                const ConvKernel& kernel = *maps[static_cast<size_t>(members[member])].kernel;
                const float sum = s.sums[static_cast<size_t>(member)];
                if (std::isnan(sum)) {
                    failed = std::min(failed, static_cast<size_t>(members[member]));
                    continue;
                }
                activations[static_cast<size_t>(kernel.Index()) * laneCapacity + lane] =
                    KernelActivation(kernel.Bias(), sum, kernel.Slope());
            }
        }
    }
    return failed;
}

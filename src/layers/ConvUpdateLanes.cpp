#include "layers/ConvUpdateLanes.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>

#include "common/Formulas.h"
#include "common/ThreadScratch.h"
#include "layers/ConvPatternGroups.h"

namespace {

constexpr int kWidth = ConvLanes::kWidth;
constexpr int kBundle = ConvLanes::kBundle;

// Working memory of one worker thread; it only grows.
struct UpdateScratch {
    ConvPatternGroups groups;
    // Per lane (kernel) of the chunk: its bias, rate, slope, last response,
    // this field's step and its output plane.
    std::vector<float> bias;
    std::vector<float> rate;
    std::vector<float> slope;
    std::vector<float> output;
    std::vector<float> steps;
    std::vector<const float*> targets;
    std::vector<float*> memberWeights;  // per group member, its kernel's weights
    // Bundle i is the groups bundled[bundleEnd[i - 1] .. bundleEnd[i]): a
    // group of several vectors alone, or up to kBundle one-vector groups.
    std::vector<int> bundled;
    std::vector<int> bundleEnd;
    std::vector<const float*> entryInputs;
    std::vector<int> entries;
    std::vector<float> sums;
};

// Each lane's kernel values, from the kernels of the chunk's maps.
void LoadLanes(const std::vector<FeatureMap>& maps, std::vector<ConvKernel>& kernels, int laneTotal,
               UpdateScratch& s) {
    const ConvPatternGroups& groups = s.groups;
    for (std::vector<float>* laneValues : {&s.bias, &s.rate, &s.slope, &s.output, &s.steps})
        laneValues->assign(static_cast<size_t>(laneTotal), 0.0f);
    s.targets.assign(static_cast<size_t>(laneTotal), nullptr);
    s.memberWeights.resize(maps.size());
    for (size_t g = 0; g < groups.Count(); ++g) {
        const int* members = groups.order.data() + groups.groupStart[g];
        for (int member = 0; member < groups.groupSize[g]; ++member) {
            const FeatureMap& map = maps[static_cast<size_t>(members[member])];
            ConvKernel& kernel = kernels[static_cast<size_t>(map.kernel->Index())];
            s.memberWeights[static_cast<size_t>(groups.groupStart[g] + member)] =
                kernel.MutableWeights();
            const size_t lane = static_cast<size_t>(groups.groupLanes[g] + member);
            s.bias[lane] = kernel.Bias();
            s.rate[lane] = kernel.Rate();
            s.slope[lane] = kernel.Slope();
            s.output[lane] = kernel.Output();
            s.targets[lane] = map.image->ptr<float>(0);
        }
    }
}

// Groups of one vector go in bundles, so that their sums advance together
// instead of each waiting for its previous add.
void MakeBundles(UpdateScratch& s) {
    const ConvPatternGroups& groups = s.groups;
    const auto oneVector = [&groups](size_t g) {
        return ConvFastLayout::RoundUpToLanes(groups.groupSize[g]) == kWidth;
    };
    s.bundled.clear();
    s.bundleEnd.clear();
    for (size_t g = 0; g < groups.Count(); ++g) {
        if (oneVector(g)) continue;
        s.bundled.push_back(static_cast<int>(g));
        s.bundleEnd.push_back(static_cast<int>(s.bundled.size()));
    }
    int open = 0;
    for (size_t g = 0; g < groups.Count(); ++g) {
        if (!oneVector(g)) continue;
        s.bundled.push_back(static_cast<int>(g));
        if (++open < kBundle) continue;
        s.bundleEnd.push_back(static_cast<int>(s.bundled.size()));
        open = 0;
    }
    if (open > 0) s.bundleEnd.push_back(static_cast<int>(s.bundled.size()));
}

// The learning steps of one bundle at every active field in order; false
// at a NaN sum or when a weight went NaN or infinite.
bool StepBundle(const ConvUpdateLanes::Inputs& in, const std::vector<FeatureMap>& maps,
                ConvWeightCache::Copy& cache, const int* bundle, int count, UpdateScratch& s) {
    const ConvLanes& lanes = *in.lanes;
    const ConvPatternGroups& groups = s.groups;
    const std::vector<ReceptiveField*>& fields = in.active->fields;
    const int outWidth = in.geometry->outputWidth;
    // Two sets of entry lists per group: the current field's and the next's.
    const size_t entrySpace = static_cast<size_t>(in.layout->windowCount);
    ConvLanes::GroupJob jobs[kBundle];
    const std::vector<int>* patterns[kBundle];
    // Lists the entries of `field` for every group into entry set `set`.
    const auto listEntries = [&](const ReceptiveField& field, int set) {
        for (int b = 0; b < count; ++b) {
            const size_t at = (static_cast<size_t>(set) * kBundle + b) * entrySpace;
            jobs[b].entryCount = in.copy.Entries(field, *patterns[b], *in.layout,
                                                 s.entryInputs.data() + at, s.entries.data() + at);
            jobs[b].inputs = s.entryInputs.data() + at;
            jobs[b].entries = s.entries.data() + at;
        }
    };
    for (int b = 0; b < count; ++b) {
        const size_t g = static_cast<size_t>(bundle[b]);
        patterns[b] = &maps[static_cast<size_t>(groups.groupFirst[g])].kernel->Pattern();
        jobs[b].inputCount = in.geometry->inputCount;
        jobs[b].inputStride = in.copy.stride;
        jobs[b].weights = cache.weights.data() + groups.groupWeights[g];
        jobs[b].laneCount = ConvFastLayout::RoundUpToLanes(groups.groupSize[g]);
        jobs[b].steps = s.steps.data() + groups.groupLanes[g];
    }
    const bool wide = jobs[0].laneCount > kWidth;
    // Every field's sums: for one wide group lane by lane, for a bundle
    // eight lanes per group.
    float* sums = s.sums.data();

    listEntries(*fields[0], 0);
    if (wide)
        lanes.groupRespond(jobs[0], sums);
    else
        lanes.bundleRespond(jobs, count, sums);
    // Positions in order: each one's response uses the weights that the
    // positions before it have left, as in the plain online update.
    for (size_t f = 0; f < fields.size(); ++f) {
        const ReceptiveField& field = *fields[f];
        const int cell = field.row * outWidth + field.column;
        bool whole = true;  // every group reads its whole pattern here
        for (int b = 0; b < count; ++b) {
            const size_t g = static_cast<size_t>(bundle[b]);
            whole = whole && jobs[b].entryCount == static_cast<int>(patterns[b]->size());
            for (int member = 0; member < groups.groupSize[g]; ++member) {
                const size_t lane = static_cast<size_t>(groups.groupLanes[g] + member);
                const float sum = sums[b * kWidth + member];
                if (std::isnan(sum)) return false;
                const float value = KernelActivation(s.bias[lane], sum, s.slope[lane]);
                const float err = s.targets[lane][cell] - value;
                const float step =
                    KernelStep(err, s.rate[lane], KernelDerivative(value, s.slope[lane]));
                s.steps[lane] = step;
                s.bias[lane] = step + s.bias[lane];
                s.output[lane] = value;
            }
        }
        if (f + 1 == fields.size()) {
            lanes.bundleUpdate(jobs, count, false, sums);
            break;
        }
        // The next field's entries go to the other set; when both fields
        // read whole patterns, the step and the next response share one
        // sweep over the weights.
        const int set = static_cast<int>((f + 1) % 2);
        ConvLanes::GroupJob current[kBundle];
        std::copy(jobs, jobs + count, current);
        listEntries(*fields[f + 1], set);
        for (int b = 0; b < count; ++b)
            whole = whole && jobs[b].entryCount == static_cast<int>(patterns[b]->size());
        if (whole) {
            for (int b = 0; b < count; ++b) current[b].nextInputs = jobs[b].inputs;
            lanes.bundleUpdate(current, count, true, sums);
            continue;
        }
        lanes.bundleUpdate(current, count, false, sums);
        if (wide)
            lanes.groupRespond(jobs[0], sums);
        else
            lanes.bundleRespond(jobs, count, sums);
    }

    // A weight that went NaN or infinite stays so (inf + x is inf or NaN),
    // so checking at the end catches every step that would throw.
    for (int b = 0; b < count; ++b) {
        const size_t g = static_cast<size_t>(bundle[b]);
        const ConvKernel& first = *maps[static_cast<size_t>(groups.groupFirst[g])].kernel;
        if (!lanes.allFinite(jobs[b].weights, groups.groupSize[g], jobs[b].laneCount,
                             first.WeightCount()))
            return false;
    }
    return true;
}

// Copies group g's interleaved weights back into its kernels' own lists.
void StoreWeights(const ConvLanes& lanes, const std::vector<FeatureMap>& maps,
                  const ConvPatternGroups& groups, float* const* memberWeights,
                  const ConvWeightCache::Copy& cache, size_t g) {
    lanes.deinterleave(memberWeights + groups.groupStart[g],
                       cache.weights.data() + groups.groupWeights[g], groups.groupSize[g],
                       ConvFastLayout::RoundUpToLanes(groups.groupSize[g]),
                       maps[static_cast<size_t>(groups.groupFirst[g])].kernel->WeightCount());
}

}  // namespace

void ConvUpdateLanes::Allocate(size_t kernelCount) {
    stagedBias.assign(kernelCount, 0.0f);
    stagedOutput.assign(kernelCount, 0.0f);
}

void ConvUpdateLanes::Release() {
    for (std::vector<float>* buffer : {&stagedBias, &stagedOutput}) {
        buffer->clear();
        buffer->shrink_to_fit();
    }
}

bool ConvUpdateLanes::Update(const Inputs& in, const std::vector<FeatureMap>& maps,
                             std::vector<ConvKernel>& kernels, bool stage) {
    if (maps.empty()) return true;
    UpdateScratch& s = ThreadScratch<UpdateScratch>();
    // Kernels with equal patterns share a group and run side by side.
    const int laneTotal = s.groups.LayOut(maps, in.layout->patternOf);
    const ConvPatternGroups& groups = s.groups;
    ConvWeightCache::Copy& cache = in.cache->For(maps, groups, *in.lanes);
    // Until the new weights are handed back below, the copy is not theirs.
    in.cache->MarkStale(cache);
    LoadLanes(maps, kernels, laneTotal, s);
    MakeBundles(s);

    s.entryInputs.resize(2 * static_cast<size_t>(in.layout->windowCount) * kBundle);
    s.entries.resize(s.entryInputs.size());
    int widest = kBundle * kWidth;
    for (size_t g = 0; g < groups.Count(); ++g)
        widest = std::max(widest, ConvFastLayout::RoundUpToLanes(groups.groupSize[g]));
    s.sums.resize(static_cast<size_t>(widest));
    for (size_t i = 0; i < s.bundleEnd.size() && !in.active->fields.empty(); ++i) {
        const int first = i == 0 ? 0 : s.bundleEnd[i - 1];
        if (!StepBundle(in, maps, cache, s.bundled.data() + first, s.bundleEnd[i] - first, s))
            return false;
    }

    for (size_t g = 0; g < groups.Count(); ++g) {
        if (!stage) StoreWeights(*in.lanes, maps, groups, s.memberWeights.data(), cache, g);
        const int* members = groups.order.data() + groups.groupStart[g];
        for (int member = 0; member < groups.groupSize[g]; ++member) {
            const size_t index =
                static_cast<size_t>(maps[static_cast<size_t>(members[member])].kernel->Index());
            const size_t lane = static_cast<size_t>(groups.groupLanes[g] + member);
            if (stage) {
                stagedBias[index] = s.bias[lane];
                stagedOutput[index] = s.output[lane];
                continue;
            }
            ConvKernel& kernel = kernels[index];
            kernel.MutableWeights()[kernel.WeightCount()] = s.bias[lane];
            kernel.SetOutput(s.output[lane]);
        }
    }
    // The interleaved copy holds the new weights, which the kernels now
    // hold too, or will once CommitStaged copies them out of it; until then
    // nothing but CommitStaged or the cache's Invalidate may come.
    in.cache->MarkCurrent(cache);
    return true;
}

void ConvUpdateLanes::CommitStaged(const Inputs& in, const std::vector<FeatureMap>& maps,
                                   std::vector<ConvKernel>& kernels) {
    if (maps.empty()) return;
    UpdateScratch& s = ThreadScratch<UpdateScratch>();
    ConvPatternGroups& groups = s.groups;
    groups.LayOut(maps, in.layout->patternOf);
    // The staged weights are in the chunk's interleaved copy, which only
    // this chunk's Update has written since.
    const ConvWeightCache::Copy* cache = in.cache->Current(maps);
    if (cache == nullptr) throw "Convolution: staged weights lost";
    s.memberWeights.resize(maps.size());
    for (size_t g = 0; g < groups.Count(); ++g) {
        const int* members = groups.order.data() + groups.groupStart[g];
        for (int member = 0; member < groups.groupSize[g]; ++member) {
            const size_t index =
                static_cast<size_t>(maps[static_cast<size_t>(members[member])].kernel->Index());
            ConvKernel& kernel = kernels[index];
            s.memberWeights[static_cast<size_t>(groups.groupStart[g] + member)] =
                kernel.MutableWeights();
            kernel.MutableWeights()[kernel.WeightCount()] = stagedBias[index];
            kernel.SetOutput(stagedOutput[index]);
        }
        StoreWeights(*in.lanes, maps, groups, s.memberWeights.data(), *cache, g);
    }
}

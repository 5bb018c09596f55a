#include "layers/ConvWeightCache.h"

#include "layers/ConvFastLayout.h"

void ConvWeightCache::Configure(size_t kernelCount) {
    copies.assign(kernelCount, Copy{});
    ++version;
}

void ConvWeightCache::Release() { copies.clear(); }

ConvWeightCache::Copy& ConvWeightCache::For(const std::vector<FeatureMap>& maps,
                                            const ConvPatternGroups& groups,
                                            const ConvLanes& lanes) {
    Copy& copy = copies[static_cast<size_t>(maps.front().kernel->Index())];
    if (Current(maps) != nullptr && copy.weights.size() == groups.weightTotal) return copy;
    copy.members.resize(maps.size());
    for (size_t m = 0; m < maps.size(); ++m) copy.members[m] = maps[m].kernel->Index();
    copy.weights.resize(groups.weightTotal);
    thread_local std::vector<const float*> memberWeights;
    memberWeights.resize(maps.size());
    for (size_t g = 0; g < groups.Count(); ++g) {
        const int* members = groups.order.data() + groups.groupStart[g];
        for (int member = 0; member < groups.groupSize[g]; ++member)
            memberWeights[static_cast<size_t>(groups.groupStart[g] + member)] =
                maps[static_cast<size_t>(members[member])].kernel->Weights().data();
        lanes.interleave(copy.weights.data() + groups.groupWeights[g],
                         memberWeights.data() + groups.groupStart[g], groups.groupSize[g],
                         ConvFastLayout::RoundUpToLanes(groups.groupSize[g]),
                         maps[static_cast<size_t>(groups.groupFirst[g])].kernel->WeightCount());
    }
    copy.version = version;
    return copy;
}

ConvWeightCache::Copy* ConvWeightCache::Current(const std::vector<FeatureMap>& maps) {
    Copy& copy = copies[static_cast<size_t>(maps.front().kernel->Index())];
    bool current = copy.version == version && copy.members.size() == maps.size();
    for (size_t m = 0; m < maps.size() && current; ++m)
        current = copy.members[m] == maps[m].kernel->Index();
    return current ? &copy : nullptr;
}

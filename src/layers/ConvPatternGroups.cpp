#include "layers/ConvPatternGroups.h"

#include "layers/ConvFastLayout.h"

void ConvPatternGroups::Make(const std::vector<FeatureMap>& maps,
                             const std::vector<int>& patternOf) {
    groupOf.assign(maps.size(), -1);
    groupFirst.clear();
    // The group of each pattern number met so far (pattern numbers are
    // below the kernel count).
    groupOfPattern.assign(patternOf.size(), -1);
    for (size_t m = 0; m < maps.size(); ++m) {
        int& group = groupOfPattern[static_cast<size_t>(
            patternOf[static_cast<size_t>(maps[m].kernel->Index())])];
        if (group < 0) {
            group = static_cast<int>(groupFirst.size());
            groupFirst.push_back(static_cast<int>(m));
        }
        groupOf[m] = group;
    }
    const size_t groupCount = groupFirst.size();
    groupSize.assign(groupCount, 0);
    for (const int g : groupOf) ++groupSize[static_cast<size_t>(g)];
    groupStart.assign(groupCount, 0);
    for (size_t g = 1; g < groupCount; ++g) groupStart[g] = groupStart[g - 1] + groupSize[g - 1];
    order.resize(maps.size());
    placed.assign(groupCount, 0);
    for (size_t m = 0; m < maps.size(); ++m) {
        const size_t g = static_cast<size_t>(groupOf[m]);
        order[static_cast<size_t>(groupStart[g] + placed[g]++)] = static_cast<int>(m);
    }
}

int ConvPatternGroups::LayOut(const std::vector<FeatureMap>& maps,
                              const std::vector<int>& patternOf) {
    Make(maps, patternOf);
    const size_t groupCount = groupFirst.size();
    groupLanes.assign(groupCount, 0);
    groupWeights.assign(groupCount, 0);
    size_t weights = 0;
    int laneTotal = 0;
    for (size_t g = 0; g < groupCount; ++g) {
        groupLanes[g] = laneTotal;
        groupWeights[g] = weights;
        const int laneCount = ConvFastLayout::RoundUpToLanes(groupSize[g]);
        const ConvKernel& first = *maps[static_cast<size_t>(groupFirst[g])].kernel;
        laneTotal += laneCount;
        weights += static_cast<size_t>(first.WeightCount()) * laneCount;
    }
    weightTotal = weights;
    return laneTotal;
}

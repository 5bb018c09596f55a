#pragma once

#include <cstddef>
#include <vector>

#include "layers/FeatureMap.h"

// A chunk's maps grouped by their kernels' pattern, so that kernels of one
// pattern run side by side in vector lanes. Group g is
// maps[order[groupStart[g] + i]] for i < groupSize[g], in chunk order;
// groups come in order of their first map. LayOut also places the groups'
// lanes one after another (each group rounded up to whole vectors) and their
// interleaved weights. A working record: each worker keeps its own, and its
// vectors only grow.
struct ConvPatternGroups {
    // patternOf: the pattern number of each kernel of the layer.
    void Make(const std::vector<FeatureMap>& maps, const std::vector<int>& patternOf);
    // Make, then the lanes and weights; returns the lane total.
    int LayOut(const std::vector<FeatureMap>& maps, const std::vector<int>& patternOf);
    size_t Count() const { return groupFirst.size(); }

    std::vector<int> groupOf;  // per map
    std::vector<int> groupFirst;
    std::vector<int> groupSize;
    std::vector<int> groupStart;
    std::vector<int> order;
    std::vector<int> groupLanes;       // LayOut: where the group's lanes start
    std::vector<size_t> groupWeights;  // LayOut: where its interleaved weights start
    size_t weightTotal = 0;            // LayOut: all groups' interleaved weights

  private:
    std::vector<int> groupOfPattern;
    std::vector<int> placed;
};

#pragma once

#include <cstdint>
#include <vector>

#include "layers/ConvLanes.h"
#include "layers/ConvPatternGroups.h"
#include "layers/FeatureMap.h"

// The kernels' weights interleaved by pattern group, as the fast update and
// the kernel-lane forward read them: per chunk of maps (found by its first
// kernel, which no other chunk of the same batch has, so that the tasks of a
// batch never share a copy), weight i of group member g at
// groupWeights[group] + i * laneCount + g. A copy is kept from pass to pass
// while nothing but the fast update changes the weights: anything else that
// may change them calls Invalidate. Owned by the layer's fast path.
class ConvWeightCache {
  public:
    struct Copy {
        std::uint64_t version = 0;
        std::vector<int> members;  // kernel indices of the chunk, in order
        std::vector<float> weights;
    };

    void Configure(size_t kernelCount);
    void Release();
    // The kernels' weights may have changed: every copy is made afresh.
    void Invalidate() { ++version; }

    // The chunk's copy (groups: the chunk laid out), made from the kernels
    // unless it holds their weights already. The chunk has at least one map.
    Copy& For(const std::vector<FeatureMap>& maps, const ConvPatternGroups& groups,
              const ConvLanes& lanes);
    // The chunk's copy if it holds the weights of the current version, else null.
    Copy* Current(const std::vector<FeatureMap>& maps);
    // The copy holds no kernel's weights (an update is moving it), or the
    // current ones (the kernels hold the same, or will once it is committed).
    void MarkStale(Copy& copy) const { copy.version = 0; }
    void MarkCurrent(Copy& copy) const { copy.version = version; }

  private:
    std::vector<Copy> copies;  // per first kernel of a chunk
    std::uint64_t version = 1;
};

#pragma once

#include <vector>

#include "layers/ConvFastLayout.h"
#include "layers/FeatureMap.h"

// Another split of a convolution layer's output maps among the chunks of a
// batch. The plain round-robin split can give one chunk far more work
// (kernel sizes alternating with the map index put every large kernel in one
// chunk of two), and it splits every group of kernels sharing a pattern,
// leaving lanes empty. Where another split needs clearly less work in its
// busiest chunk, Balance returns true and Items is the output maps
// reordered, padded with empty records (no kernel) that the tasks drop, so
// that a round-robin split into `chunkCount` chunks gives each chunk whole
// vectors' worth of kernels of one pattern and similar work. Remembers its
// answer for the last chunk count. Calling thread only.
class ConvChunkBalance {
  public:
    bool Balance(int chunkCount, const ConvFastLayout& layout, const FeatureMaps& outputs);
    const std::vector<FeatureMap>& Items() const { return items; }
    // Forgets the answer (a new configuration).
    void Reset();

  private:
    int chunks = 0;  // 0: no answer yet
    bool balanced = false;
    std::vector<FeatureMap> items;
};

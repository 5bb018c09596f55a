#pragma once

#include <cstddef>
#include <vector>

#include "layers/ActiveFields.h"
#include "layers/ConvFastLayout.h"
#include "layers/ConvGeometry.h"
#include "layers/ConvInputCopies.h"
#include "layers/ConvKernel.h"
#include "layers/ConvLanes.h"
#include "layers/ConvStepInputs.h"
#include "layers/ConvWeightCache.h"
#include "layers/FeatureMap.h"

// The fast weight update of a convolution layer: the same weights, last
// responses and failures as ReferenceUpdate (ConvReference.h), bit for bit.
// Kernels sharing one pattern run side by side in lanes over their
// interleaved weights (the weight cache's copy of the chunk), small groups
// in bundles, stepping through the active fields in order; each field's
// weight step is fused with the next field's response where both read
// their whole pattern. The tasks of one batch run on several workers at
// once, each on its own chunk of maps.
class ConvUpdateLanes {
  public:
    // What one update batch reads, made on the calling thread before it.
    struct Inputs : ConvStepInputs {
        ConvInputCopies::Copy copy;  // the inputs of the last forward pass
        ConvWeightCache* cache = nullptr;
    };

    void Allocate(size_t kernelCount);
    void Release();

    // The update of one chunk. Returns false, having changed no kernel,
    // when a sum or a weight went non-finite; the caller then redoes the
    // chunk the plain way, which fails where the plain code fails. With
    // `stage`, the new weights wait in the chunk's interleaved copy (and
    // the biases and responses here) until CommitStaged (the same chunk, on
    // the same thread) hands them to the kernels, once no chunk failed;
    // after a failure, the cache's Invalidate drops them.
    bool Update(const Inputs& in, const std::vector<FeatureMap>& maps,
                std::vector<ConvKernel>& kernels, bool stage);
    void CommitStaged(const Inputs& in, const std::vector<FeatureMap>& maps,
                      std::vector<ConvKernel>& kernels);

  private:
    // Staged results per kernel, besides the weights in the interleaved
    // copies: the bias and the last response.
    std::vector<float> stagedBias;
    std::vector<float> stagedOutput;
};

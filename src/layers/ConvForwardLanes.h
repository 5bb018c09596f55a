#pragma once

#include <cstddef>
#include <vector>

#include "layers/ActiveFields.h"
#include "layers/ConvFastLayout.h"
#include "layers/ConvForwardPlan.h"
#include "layers/ConvGeometry.h"
#include "layers/ConvInputCopies.h"
#include "layers/ConvKernel.h"
#include "layers/ConvLanes.h"
#include "layers/ConvStepInputs.h"
#include "layers/ConvWeightCache.h"
#include "layers/FeatureMap.h"

// The fast forward pass of a convolution layer, in the layout its plan
// chose: the same activations as ReferenceForward (ConvReference.h), bit for
// bit. It computes into its own store of activations first (per output map
// laneCapacity floats in lane order) and writes the output planes and the
// kernels' last responses in a second step, only where the reference would
// have completed them. The store is what the error shares read afterwards
// (Activations), while the inputs and weights stay those of this pass.
// The steps of one batch run on several workers at once, each on its own
// maps or band.
class ConvForwardLanes {
  public:
    // What one pass reads, made on the calling thread before its batch.
    struct Inputs : ConvStepInputs {
        const ConvForwardPlan* plan = nullptr;
        ConvInputCopies::Copy copy;  // the plan's input copy
        const ConvInputCopies* planes = nullptr;
        ConvWeightCache* cache = nullptr;  // the kernels layout's interleaved weights
    };

    void Allocate(size_t kernelCount, const ConvFastLayout& layout);
    void Release();

    // The activations of the chunk's maps at every active field. Returns the
    // chunk position of the first map whose sum at an active field is not a
    // number, or maps.size() when all are done.
    size_t Compute(const Inputs& in, const std::vector<FeatureMap>& maps);
    // The same for all of the layer's `maps` over the blocks of `band` only
    // (a pass split by bands); false when a sum was not a number.
    bool ComputeBand(const Inputs& in, const std::vector<FeatureMap>& maps, size_t band);
    // Zeroes output rows [firstRow, endRow) of the maps' planes and writes
    // the saved activations of the active fields [firstField, endField),
    // which lie in those rows; the rows holding the last field give the
    // kernels their last response.
    void WriteRows(const Inputs& in, const std::vector<FeatureMap>& maps,
                   std::vector<ConvKernel>& kernels, int firstRow, int endRow, size_t firstField,
                   size_t endField);
    // Every row of the maps' planes.
    void WriteOutputs(const Inputs& in, const std::vector<FeatureMap>& maps,
                      std::vector<ConvKernel>& kernels);

    const std::vector<float>& Activations() const { return activations; }
    size_t LaneCapacity() const { return laneCapacity; }

  private:
    // The two position layouts compute the listed blocks [begin, end) only.
    size_t ByPositions(const Inputs& in, const std::vector<FeatureMap>& maps, size_t begin,
                       size_t end);
    size_t ByGathered(const Inputs& in, const std::vector<FeatureMap>& maps, int begin, int end);
    size_t ByKernels(const Inputs& in, const std::vector<FeatureMap>& maps);

    std::vector<float> activations;
    size_t laneCapacity = 0;
};

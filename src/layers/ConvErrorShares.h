#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "layers/ActiveFields.h"
#include "layers/ConvCompactShares.h"
#include "layers/ConvFastLayout.h"
#include "layers/ConvGeometry.h"
#include "layers/ConvKernel.h"
#include "layers/ConvLanes.h"
#include "layers/ConvStepInputs.h"
#include "layers/DepthLine.h"
#include "layers/FeatureMap.h"

// The fast error work of a convolution layer, from the activations its fast
// forward pass saved instead of recomputing them (the inputs and weights
// have not changed in between); the same error total and shares as
// ReferenceErrors (ConvReference.h), bit for bit. Per depth line only the
// share that the last field reaching it leaves there is made, together with
// the line's sum over all output maps, which the line sums step adds to the
// inputs after the update (Sums).
//
// Prepare (calling thread, first, for the plain error task's `chunkCount`
// chunks), then ChunkErrors for every chunk (a batch): the errors, target
// minus activation, of the chunk's maps (round robin, as the plain task
// splits them) at every active field, and their sum of absolute values in
// the plain task's order; those sums added in chunk order make the layer's
// error total. Share (a batch over depth lines, once every chunk's errors
// are in and before the update moves the weights): the shares the plain
// error task would leave in each line, and the line's sum.
class ConvErrorShares {
  public:
    // What one pass reads, made on the calling thread before its batch.
    struct Inputs : ConvStepInputs {
        const std::vector<std::int32_t>* fieldSlots = nullptr;  // the forward plan's
        const float* activations = nullptr;  // the forward pass's, laneCapacity per map
        size_t laneCapacity = 0;
        DepthLine* lines = nullptr;  // the layer's lines in position order
    };

    void Allocate(const ConvGeometry& geometry);
    void Release();

    void Prepare(int chunkCount, const Inputs& in, const std::vector<ConvKernel>& kernels,
                 ConvCompactShares& compact);
    float ChunkErrors(const Inputs& in, size_t chunk, const std::vector<ConvKernel>& kernels,
                      const FeatureMaps& outputs, ConvCompactShares& compact);
    void Share(const Inputs& in, const std::vector<DepthLine*>& lines, ConvCompactShares& compact);

    // Per input position, inputCount floats: the summed shares of its line
    // as the last Share left them.
    const std::vector<float>& Sums() const { return lineSums; }

  private:
    template <int kStride>
    void ShareLines(const Inputs& in, const std::vector<DepthLine*>& lines,
                    ConvCompactShares& compact);

    // Per output map: its kernel's weights (or their copy for compact
    // shares).
    std::vector<const float*> mapWeights;
    // Per active field, errorRowSize floats: the error of output map i at
    // errorColumn[i]; errorChunks chunks made them.
    std::vector<float> fieldErrors;
    int errorChunks = 1;
    size_t errorRowSize = 0;
    std::vector<size_t> errorColumn;
    std::vector<float> lineSums;
};

#pragma once

#include <vector>

#include "layers/ActiveFields.h"
#include "layers/ConvKernel.h"
#include "layers/DepthLine.h"
#include "layers/FeatureMap.h"
#include "layers/ReceptiveField.h"

namespace cv {
class Mat;
}

// The plain steps of a convolution layer, which read like the arithmetic:
// the reference that the fast path's steps (the Conv* files beside these)
// must match bit for bit. Each task works on one chunk of the layer's items,
// as a pool hands it out, and touches only what its items own: a map's plane
// and kernel (reached as kernels[map.kernel->Index()]) and its row of every
// line's shares, or a line and the input values at its position.

// The fields whose centre is above `threshold` in the resized mask, in
// field order, into `active` (fields only), and the lines of their windows
// set active (and queued in `queue` unless it is null, each once).
void ReferenceSelect(const cv::Mat& resizedMask, float threshold,
                     std::vector<ReceptiveField>& fields, std::vector<DepthLine*>* queue,
                     ActiveFields& active);

// Each map's plane: the kernel's response at the active fields, 0 elsewhere.
std::vector<float> ReferenceForward(const std::vector<FeatureMap>& maps,
                                    const std::vector<ReceptiveField*>& fields,
                                    std::vector<ConvKernel>& kernels);
// Each map's error shares at the active fields (target: the value the layer
// above left in the plane), written into the lines; returns the chunk's sum
// of absolute errors, in map and field order.
std::vector<float> ReferenceErrors(const std::vector<FeatureMap>& maps,
                                   const std::vector<ReceptiveField*>& fields,
                                   std::vector<ConvKernel>& kernels);
// Each map's kernel learns at the active fields, in order.
std::vector<FeatureMap*> ReferenceUpdate(const std::vector<FeatureMap>& maps,
                                         const std::vector<ReceptiveField*>& fields,
                                         std::vector<ConvKernel>& kernels);
// Each active line: its shares summed over the output maps (map 0 first)
// and added to the inputs at its position, clamped to [0, 1]; then the line
// is inactive.
std::vector<float> ReferenceLineSums(const std::vector<DepthLine*>& lines, int inputCount,
                                     int outputCount);

// The layer's error total from its error chunks' sums, added in chunk order
// as the pool gathers the plain error task's results.
float TotalInChunkOrder(const std::vector<float>& chunkSums);

#pragma once

#include <cstdint>
#include <vector>

#include "layers/ActiveFields.h"
#include "layers/ConvFastLayout.h"
#include "layers/ConvGeometry.h"
#include "layers/DepthLine.h"

namespace cv {
class Mat;
}

// The fast path's choice of a Forward's active fields, the same as the
// reference's (ReferenceSelect in ConvReference.h): the fields whose centre
// is above the threshold in the resized mask, in field order, and the
// lines of their windows set active in position order, without reading a
// field's record or a line that is known to be active. Keeps, from pass to
// pass, which positions' lines it knows to be active. Calling thread only.
class ConvFieldSelection {
  public:
    // Forgets what it knew (a new configuration).
    void Reset();
    // Fills `active` (fields, cells and lanes) and sets the lines active
    // (queueing those that were not in `queue`, unless it is null).
    // `lines`: the layer's lines in position order; `queue`: the layer's
    // list of exactly its active lines. With no queue, nothing may set the
    // lines inactive.
    void Select(const cv::Mat& resizedMask, float threshold, const ConvGeometry& geometry,
                const ConvFastLayout& layout, std::vector<ReceptiveField>& fields, DepthLine* lines,
                std::vector<DepthLine*>* queue, ActiveFields& active);
    // To be called before anything but Select changes the queue or the
    // active flags of its lines.
    void LinesChanged() { knownFromQueue = false; }

  private:
    // Bitmaps of input positions: field centres, and the centres widened
    // across by the window.
    std::vector<std::uint64_t> centreBits;
    std::vector<std::uint64_t> acrossBits;
    // Input positions whose lines are known to be active (a bit may be
    // clear for an active line, never the other way round).
    std::vector<std::uint64_t> knownActive;
    // Whether knownActive holds exactly the queued lines.
    bool knownFromQueue = false;
};

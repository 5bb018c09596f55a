#pragma once

#include <cstddef>
#include <vector>

#include "layers/ConvGeometry.h"
#include "layers/ConvLanes.h"
#include "layers/DepthLine.h"

// The fast depth-line step of a convolution layer: each active line's
// shares summed over the output maps and added to the inputs at its
// position, clamped to [0, 1], and the line set inactive; the same inputs
// and flags as ReferenceLineSums (ConvReference.h), bit for bit. With
// several chunks the lines are dealt so that each chunk gets a run of
// neighbouring positions. Deal on the calling thread; the sums in a batch,
// each task on its own lines.
class ConvLineSums {
  public:
    // The active lines reordered for a batch of `chunkCount` chunks, so that
    // the pool's round-robin split gives each chunk a run of neighbouring
    // positions (or `lines` itself for fewer than two chunks). `first`: the
    // layer's lines in position order, `lineCount` of them.
    const std::vector<DepthLine*>& Deal(const std::vector<DepthLine*>& lines, int chunkCount,
                                        DepthLine* first, size_t lineCount);
    // The same lines (from Deal with two chunks or more) split for AddSums:
    // chunk c's run, ending where a cache line of the input planes does.
    const std::vector<DepthLine*>& RowLines(size_t chunk) const { return rowChunks[chunk]; }

    // Adds the sums the error shares left (`sums`, inputCount floats per
    // position) to the input planes (`rows` and `steps`: row 0 and the row
    // step of each), kWidth neighbouring positions of a row at a time.
    void AddSums(const ConvLanes& lanes, const ConvGeometry& geometry,
                 const std::vector<DepthLine*>& lines, DepthLine* first, const float* sums,
                 const std::vector<float*>& rows, const std::vector<size_t>& steps) const;
    // The whole step for lines whose shares the plain error task wrote.
    void SumRows(const ConvLanes& lanes, const ConvGeometry& geometry,
                 const std::vector<DepthLine*>& lines) const;

  private:
    std::vector<DepthLine*> sortedLines;
    std::vector<DepthLine*> dealtLines;
    std::vector<std::vector<DepthLine*>> rowChunks;
};

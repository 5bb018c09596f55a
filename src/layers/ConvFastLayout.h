#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "layers/ConvGeometry.h"
#include "layers/ConvKernel.h"
#include "layers/ConvLanes.h"
#include "layers/ReceptiveField.h"

// What the steps of a convolution layer's fast path share: the layout of
// output positions in lanes and of the inputs in padded copies, and the
// kernels' distinct patterns. Made once by the layer's Configure (Make) and
// read-only afterwards; every step gets it as an argument.
//
// Output position (column c, row r) is lane q = r * phaseWidth + c, and
// blocks of kWidth neighbouring lanes are computed together. A padded,
// phase-split copy of input map k (phase p) is the plane at
// (k * phaseCount + p) * planeSize, in which window number w of the lane at
// q lies at tapPhase[w] and q + tapOffset[w], so that one offset serves a
// whole block.
struct ConvFastLayout {
    // A pattern entry j and its window offset.
    struct PatternEntry {
        int entry;
        int dx;
        int dy;
    };

    // The layout of a configured layer; `usable` is false for a layer the
    // fast path cannot run (a kernel reading beyond the window, fields not
    // in the regular grid), and then only it and centreColumns are set.
    static ConvFastLayout Make(const ConvGeometry& geometry, const std::vector<ConvKernel>& kernels,
                               const std::vector<ReceptiveField>& fields);

    size_t CellAt(int row, int column) const {
        return static_cast<size_t>(row) * outputWidth + column;
    }
    size_t LaneAt(int row, int column) const {
        return static_cast<size_t>(row) * phaseWidth + column;
    }
    size_t CellOf(const ReceptiveField& field) const { return CellAt(field.row, field.column); }
    size_t LaneOf(const ReceptiveField& field) const { return LaneAt(field.row, field.column); }

    static int RoundUpToLanes(int count) {
        return (count + ConvLanes::kWidth - 1) / ConvLanes::kWidth * ConvLanes::kWidth;
    }
    // Floats per cache line: spans that workers write at once are kept
    // apart by whole ones.
    static constexpr int kFloatsPerLine = 16;

    bool usable = false;
    int outputWidth = 0;
    // Window geometry of the layer's largest kernel, by window number.
    int pad = 0;
    int windowCount = 0;
    std::vector<int> windowDx;
    std::vector<int> windowDy;
    // Per 64 positions of an input row, those that are fields' centres.
    std::vector<std::uint64_t> centreColumns;

    int phaseCount = 1;
    int phaseWidth = 0;
    size_t planeSize = 0;
    std::vector<int> tapPhase;   // per window number
    std::vector<int> tapOffset;  // per window number

    int blockCount = 0;
    std::vector<std::uint8_t> validBits;     // per block and window number: lanes inside
    std::vector<std::uint8_t> interior;      // per block: every lane's window inside
    std::vector<std::uint8_t> wholeWindows;  // per block: lanes with every window inside
    size_t cellCount = 0;                    // output plane size
    size_t laneCapacity = 0;                 // lanes of all blocks

    // The kernels' distinct patterns, each with its entries sorted so that
    // the fields reaching a line through them come latest first (the smaller
    // the offset, dy first, the later the field in row-major order).
    std::vector<std::vector<PatternEntry>> patternEntries;
    std::vector<int> patternOf;  // per kernel

    // Where each kernel's weights (bias last) start in a copy of all
    // kernels' weights, and that copy's size.
    std::vector<size_t> weightStart;
    size_t weightTotal = 0;
    // Floats per position in the position-major input copy: the map count
    // rounded up to whole vectors.
    size_t packedStride = 0;
};

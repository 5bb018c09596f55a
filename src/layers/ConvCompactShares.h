#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "layers/ConvFastLayout.h"
#include "layers/ConvGeometry.h"
#include "layers/DepthLine.h"

// Compact error shares of a convolution layer. A layer whose weights are
// small beside its depth lines' rows keeps, per line and output map, the
// error and which row of which pass's copy of the weights makes the share
// (err * weight, the same product), instead of writing the row itself; a
// row a later pass reads is recomputed from them bit for bit. Rows are
// written out when their pass's copy is recycled, and all of them by Sync,
// which must run before anything else reads or writes the lines' `errors`
// (the plain error and depth-line tasks). Owned by the layer's fast path;
// TakeCopy and Sync on the calling thread, the rest by the error-share
// tasks, each on its own kernels' copies and its own lines' references.
class ConvCompactShares {
  public:
    // One line's share from one output map: the row in the lines' own
    // `errors` (kHeld), or factor times row `entry` of slot `slot`'s copy
    // of that map's weights (source = slot * kEntrySpan + entry).
    struct Ref {
        float factor = 0.0f;
        std::int32_t source = kHeld;
    };
    static constexpr std::int32_t kHeld = -1;
    static constexpr std::int32_t kEntrySpan = 1 << 16;

    // Whether the layer keeps compact shares, and how many copies.
    void Configure(const ConvGeometry& geometry, const ConvFastLayout& layout, size_t lineCount);
    void Allocate(size_t lineCount);
    void Release();
    bool Enabled() const { return enabled; }

    // Calling thread, before a pass's shares: a copy slot for this pass's
    // weights (writing out the rows of older copies into `lines` when none
    // is free); the copy itself is made by the error tasks (CopyWeights).
    void TakeCopy(DepthLine* lines);
    int PassSlot() const { return copySlot; }
    // Kernel `output`'s weights into this pass's copy.
    void CopyWeights(int output, const std::vector<float>& weights);
    // Where this pass's copy holds kernel `output`'s weights.
    const float* PassWeights(int output) const;
    // The references of the line at `position`, one per output map.
    Ref* RefsAt(size_t position) { return shareRefs.data() + position * outputCount; }
    const float* Source(int output, std::int32_t source) const;

    // Writes every held row into `lines` (calling thread).
    void Sync(DepthLine* lines);
    // The shares of `line` at `position`, as its rows would hold them.
    std::vector<float> SharesAt(size_t position, const DepthLine& line) const;

  private:
    void WriteOut(const std::vector<bool>& slots, DepthLine* lines);

    bool enabled = false;
    bool sharesHeld = false;  // some reference is not kHeld
    int inputCount = 0;
    size_t outputCount = 0;
    size_t lineCount = 0;
    std::vector<size_t> weightStart;  // per kernel, in a copy of weightTotal floats
    size_t weightTotal = 0;
    std::vector<Ref> shareRefs;  // per line and output map
    int copySlots = 8;
    // copySlots copies of all kernels' weights, each tagged with the pass
    // that made it (0: free).
    std::vector<float> weightCopies;
    std::vector<std::uint64_t> copyPass;
    std::uint64_t sharePasses = 0;
    int copySlot = 0;  // this pass's copy
};

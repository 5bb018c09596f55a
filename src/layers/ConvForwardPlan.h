#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "layers/ActiveFields.h"
#include "layers/ConvFastLayout.h"
#include "layers/ConvGeometry.h"

// How the fast forward pass computes this pass's active fields, chosen per
// pass by estimated cost (the plain version is ReferenceForward in
// ConvReference.h):
// - Positions: blocks of kWidth neighbouring output positions read from the
//   padded input copy (split by phase for stride 2), only blocks that hold
//   an active field;
// - GatheredPositions: the active fields gathered into whole blocks (kWidth
//   neighbours around a run of them, the rest packed kWidth to a block),
//   their window columns gathered once for all kernels;
// - Kernels: where fields are few, kernels sharing one pattern side by side
//   in lanes, field after field.
// With several chunks, a position layout may split the work by bands of
// output rows instead of by maps (SplitsByBlocks). Made on the calling
// thread before the forward batch; the batch's tasks only read it, and the
// error shares read its field slots until the next plan.
class ConvForwardPlan {
  public:
    enum class Layout { Positions, GatheredPositions, Kernels };

    void Configure(const ConvFastLayout& layout);
    void Release();
    // The plan for `active` (listing its cells and lanes first if the
    // selection did not) and a batch of `chunkCount` chunks.
    void Make(int chunkCount, const ConvGeometry& geometry, const ConvFastLayout& layout,
              ActiveFields& active);
    // For the gathered layout: each gathered block's window bits and lane
    // centres in planes of `rowStep` floats per row.
    void MarkGatheredWindows(const ConvGeometry& geometry, const ConvFastLayout& layout,
                             int rowStep);

    Layout ForwardLayout() const { return forwardLayout; }
    // Whether a batch of `chunkCount` chunks splits by bands of rows: chunk
    // c computes all kernels over the blocks of band c (its columns gathered
    // once, kernel tiles whole), then, once every chunk has done so, writes
    // band c of every map's plane. The bands carry about equal work, and
    // worker c takes band c in every layer, so it mostly reads planes it
    // wrote itself: moving planes between processors' caches cost more than
    // the split saved when chunks wrote whole maps.
    bool SplitsByBlocks(int chunkCount) const { return chunkCount >= 2 && splitByBlocks; }
    // Band c holds output rows [BandRows()[c], BandRows()[c + 1]), the
    // active fields [BandFields()[c], BandFields()[c + 1]) and the blocks
    // [BandBlocks()[c], BandBlocks()[c + 1]) of the layout (one band when the
    // pass is not split).
    const std::vector<int>& BandRows() const { return bandRows; }
    const std::vector<size_t>& BandFields() const { return bandFields; }
    const std::vector<int>& BandBlocks() const { return bandBlocks; }

    // Positions: the blocks holding an active field, and per block its
    // lanes that hold one.
    const std::vector<int>& ActiveBlocks() const { return activeBlocks; }
    const std::vector<std::uint8_t>& ActiveBits() const { return activeBits; }
    // Gathered: kWidth lanes per block (runs first, then packed fields),
    // per block its lanes holding an active field (the only ones whose
    // activations are kept), its window bits, whether it is interior, and
    // per lane its field's centre in the input planes.
    const std::vector<std::int32_t>& GatherLanes() const { return gatherLanes; }
    const std::vector<std::uint8_t>& GatherActive() const { return gatherActive; }
    const std::vector<std::uint8_t>& GatherValid() const { return gatherValid; }
    const std::vector<std::uint8_t>& GatherInterior() const { return gatherInterior; }
    const std::vector<std::int32_t>& GatherSources() const { return gatherSources; }
    int GatherBlocks() const { return gatherBlocks; }
    // Per field (its cell), its position among the active fields, or -1.
    const std::vector<std::int32_t>& FieldSlots() const { return fieldSlot; }

  private:
    void PlanGathered(int minimumRun, const ConvFastLayout& layout, const ActiveFields& active);
    void PlanBands(int bands, double blockCost, double runCost, double packedLaneCost,
                   const ConvGeometry& geometry, const ConvFastLayout& layout,
                   const ActiveFields& active);
    // The lane of a position block's first active field.
    std::int64_t FirstActiveLane(int block) const;

    Layout forwardLayout = Layout::Positions;
    bool splitByBlocks = false;
    std::vector<std::uint8_t> activeBits;
    std::vector<int> activeBlocks;
    std::vector<std::int32_t> fieldSlot;
    std::vector<std::int32_t> gatherLanes;
    std::vector<std::uint8_t> gatherActive;
    std::vector<std::uint8_t> gatherValid;
    std::vector<std::uint8_t> gatherInterior;
    std::vector<std::int32_t> gatherSources;
    int gatherBlocks = 0;
    int packedBlocks = 0;  // those of packed fields
    std::vector<int> bandRows;
    std::vector<size_t> bandFields;
    std::vector<int> bandBlocks;
};

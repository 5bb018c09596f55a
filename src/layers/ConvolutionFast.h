#pragma once

#include <cstdint>
#include <vector>

#include "layers/ConvLanes.h"
#include "layers/DepthLine.h"
#include "layers/FeatureMap.h"

namespace cv {
class Mat;
}

class ConvolutionLayer;
struct ReceptiveField;
struct ConvolutionScratch;

// The fast path of one ConvolutionLayer: the same forward, error, update and
// depth-line work as the layer's plain tasks, with results equal bit for bit,
// computed from layouts that suit vector lanes:
// - forward, picked per pass by estimated cost: blocks of eight neighbouring
//   output positions read from padded copies of the input planes (split by
//   phase for stride 2), only blocks holding an active field; or the active
//   fields gathered into whole blocks (eight neighbours around a run of
//   them, the rest packed eight to a block), their window columns gathered
//   once for all kernels; or, where fields are few, kernels sharing one
//   pattern side by side in lanes, field after field;
// - error: the activations the forward pass saved, instead of recomputing
//   them (the inputs and weights have not changed in between); and, per
//   depth line, only the share that the last field reaching it leaves
//   there, computed together with the line's sum over all output maps; the
//   shares kept in compact form where that saves memory traffic;
// - update: kernels sharing one pattern side by side in lanes (small groups
//   bundled), stepping through the positions in order, each position's
//   weight step fused with the next position's response; the interleaved
//   weights kept from pass to pass;
// - depth lines: the sums of the shares added to the inputs eight
//   neighbouring positions at a time.
// With several workers the position layouts split the forward by blocks
// where the blocks are many, the depth-line steps get runs of neighbouring
// lines, and the update reorders uneven chunks.
// Owned by its layer and made in its Configure; the tasks may run on several
// workers at once, each on its own chunk, as the plain tasks do.
class ConvolutionFast {
  public:
    explicit ConvolutionFast(ConvolutionLayer& layer);
    ConvolutionFast(const ConvolutionFast&) = delete;
    ConvolutionFast& operator=(const ConvolutionFast&) = delete;

    // Lays out the copies for the configured layer. A layer whose kernels
    // read beyond its window is left to the plain path (Usable false).
    void Configure();
    void Release();
    bool Usable() const { return usable; }
    // The vector loops the next tasks use; set before each batch.
    void UseLanes(const ConvLanes& chosen) { lanes = &chosen; }

    // Records the planes the layer's depth lines were just linked to; the
    // fast path reads the same planes.
    void Link(const FeatureMaps& inputs);
    // Whether linking to `inputs` would write the pointers the lines hold.
    bool LinkedTo(const FeatureMaps& inputs) const;

    // Calling thread: what the layer's Forward does with the resized mask,
    // fields above the threshold as activeFields and their window lines
    // set active (and queued in `queue` unless it is null); the fields in
    // the same order, the lines in position order; the fields' cells and
    // lanes are listed for the next PrepareForward. `queue` is the layer's
    // list of exactly its active lines; with none, nothing may set the lines
    // inactive.
    void ActivateFields(const cv::Mat& resizedMask, float threshold,
                        std::vector<DepthLine*>* queue);
    // To be called before anything but ActivateFields changes the queue or
    // the active flags of its lines.
    void LinesChanged();

    // Calling thread, after the active fields are chosen and before the
    // forward batch of `chunkCount` chunks: picks the layout with less work
    // for this pass and copies the linked planes into it.
    void PrepareForward(int chunkCount);
    // The forward work of one chunk. Returns the position of the first map
    // whose sum at an active field is not a number, or maps.size() when all
    // are done; from that map on, the caller redoes the chunk the plain way.
    size_t Forward(const std::vector<FeatureMap>& maps);
    // The same in two steps, for chunks other than the plain ones: the
    // activations only (false on a NaN sum), then, once no chunk failed, the
    // output planes and the kernels' last responses.
    bool ComputeForward(const std::vector<FeatureMap>& maps);
    void WriteOutputs(const std::vector<FeatureMap>& maps);

    // With several chunks, the plain round-robin split can give one chunk
    // far more work (kernel sizes alternating with the map index put every
    // large kernel in one chunk of two), and it splits every group of
    // kernels sharing a pattern, leaving lanes empty. Where another split
    // needs clearly less work in its busiest chunk, Balance returns true and
    // BalancedItems is the output maps reordered, padded with empty records
    // (no kernel) that the tasks drop, so that a round-robin split into
    // `chunkCount` chunks gives each chunk whole vectors' worth of kernels
    // of one pattern and similar work.
    bool Balance(int chunkCount);
    const std::vector<FeatureMap>& BalancedItems() const { return balancedItems; }
    // With several chunks and enough blocks (PrepareForward's choice), the
    // position layouts split the forward work by bands of output rows instead
    // of by maps: chunk c computes all kernels over the blocks of band c (its
    // columns gathered once, kernel tiles whole), then, once every chunk has
    // done so, writes band c of every map's plane. The bands carry about equal
    // work, and worker c takes band c in every layer, so it mostly reads
    // planes it wrote itself: moving planes between processors' caches cost
    // more than the split saved when chunks wrote whole maps. ComputeBand is the
    // task's first step, false when a sum was not a number (nothing written
    // yet); WriteBand its second. Chunk c must run band c on every layer
    // (a pool's chunk c holds map c first: ChunkOf tells it).
    bool SplitsByBlocks(int chunkCount) const;
    // Which chunk of a round-robin split of the layer's output maps this is.
    static size_t ChunkOf(const std::vector<FeatureMap>& chunk);
    bool ComputeBand(size_t band);
    void WriteBand(size_t band);
    // Band c of the last forward holds the active fields [BandFields()[c],
    // BandFields()[c + 1]) (one band when it was not split).
    const std::vector<size_t>& BandFields() const { return bandFields; }
    // The active lines reordered for a batch of `chunkCount` chunks, so that
    // each chunk gets a run of neighbouring positions (or `lines` itself).
    const std::vector<DepthLine*>& DealLines(const std::vector<DepthLine*>& lines, int chunkCount);
    // The same lines (from DealLines with two chunks or more) split for
    // AddRows: chunk c's run, ending where a cache line of the input planes
    // does.
    const std::vector<DepthLine*>& RowLines(size_t chunk) const { return rowChunks[chunk]; }

    // Whether the saved activations still match the layer's inputs and
    // weights: set after a completed fast forward, cleared by anything that
    // may change them.
    void SetActivationsFresh(bool fresh) { activationsFresh = fresh; }
    bool ActivationsFresh() const { return activationsFresh; }
    // How the last fast forward laid out its lanes: neighbouring output
    // positions, the active positions gathered into whole blocks, or kernels.
    enum class Layout { Positions, GatheredPositions, Kernels };
    Layout ForwardLayout() const { return forwardLayout; }

    // The error work, from the saved activations (which must be fresh).
    // PrepareErrors (calling thread, first, for the plain error task's
    // `chunkCount` chunks), then ChunkErrors for every chunk (a batch): the
    // errors, target minus activation, of the chunk's maps (round robin, as
    // the plain task splits them) at every active field, and their sum of
    // absolute values in the plain task's order; those sums added in chunk
    // order make the layer's error total. ShareErrors (a batch over depth
    // lines, once every chunk's errors are in and before the update): the
    // shares the plain error task would leave in each line, and the line's
    // sum of the shares of all output maps. AddRows (after the update, in
    // place of the depth-line task): adds the sums to the inputs.
    void PrepareErrors(int chunkCount);
    float ChunkErrors(size_t chunk);
    void ShareErrors(const std::vector<DepthLine*>& lines);
    void AddRows(const std::vector<DepthLine*>& lines);

    // Calling thread, before the update batch: the input copy the update
    // reads (the forward pass's while the activations are fresh, else the
    // padded planes made again).
    void PrepareUpdate();
    // The update task of one chunk. Returns false, having changed nothing,
    // when a sum or a weight went non-finite; the caller then redoes the
    // chunk the plain way, which fails where the plain code fails. With
    // `stage`, the new weights wait in the chunk's interleaved copy until
    // CommitStaged (the same chunk, on the same thread) hands them to the
    // kernels of `maps`, once no chunk failed; after a failure,
    // WeightsChanged drops them.
    bool Update(const std::vector<FeatureMap>& maps, bool stage = false);
    void CommitStaged(const std::vector<FeatureMap>& maps);
    // The kernels' weights may have changed other than by the fast update
    // (calling thread): the interleaved copies are made afresh.
    void WeightsChanged();

    // The depth-line task of one chunk, for shares the plain error task wrote.
    void DepthLines(const std::vector<DepthLine*>& lines);

    // Compact shares. A layer whose weights are small beside its depth
    // lines' rows keeps, per line and output map, the error and which row of
    // which pass's copy of the weights makes the share (err * weight, the
    // same product), instead of writing the row itself; a row a later pass
    // reads is recomputed from them bit for bit. Rows are written out when
    // their pass's copy is recycled, and all of them by SyncErrorShares
    // (calling thread), which must run before anything else reads or writes
    // the lines' `errors` (the plain error and depth-line tasks).
    void SyncErrorShares();
    // The shares of the line at `position`, as the lines would hold them.
    std::vector<float> ErrorSharesAt(size_t position) const;

  private:
    // The forward layouts; all leave the activations in `activations` and
    // return the chunk position of the first map with a NaN sum.
    size_t ForwardAny(const std::vector<FeatureMap>& maps);
    // The two position layouts compute the listed blocks [begin, end) only.
    size_t ForwardByPositions(const std::vector<FeatureMap>& maps, size_t begin, size_t end);
    size_t ForwardByGathered(const std::vector<FeatureMap>& maps, int begin, int end);
    size_t ForwardByKernels(const std::vector<FeatureMap>& maps);
    // The forward vector loops over job's blocks for every pattern group of
    // the chunk, a few kernels at a time; take(kernel, sums) gets each
    // kernel's sums and returns false on a NaN. Returns the chunk position of
    // the first map that met one, or maps.size().
    template <typename Take>
    size_t ForwardGroups(const std::vector<FeatureMap>& maps, ConvolutionScratch& s,
                         ConvLanes::ForwardJob& job, Take take);
    // The gathered layout's blocks for this pass's active fields, then
    // their window bits.
    void PlanGathered(int minimumRun);
    void MarkGatheredWindows();
    // The large copies, made at the first fast pass rather than in
    // Configure, so that a layer the reference runs does not carry them.
    void AllocateBuffers();
    void PadInputs();
    void PackInputs();
    // The pattern entries whose window position lies inside the input at
    // `field`, in order: where their inputs start in the current input copy
    // (InputStride() apart) and their j.
    int FieldEntries(const ReceptiveField& field, const std::vector<int>& pattern,
                     const float** inputs, int* entries) const;
    size_t InputStride() const;
    // A field's cell in its output plane, and its lane in the blocks, from
    // its record or from its row and column.
    size_t CellOf(const ReceptiveField& field) const;
    size_t LaneOf(const ReceptiveField& field) const;
    size_t CellAt(int row, int column) const;
    size_t LaneAt(int row, int column) const;
    // Position (y * inputWidth + x) of a line of the layer.
    size_t IndexOf(const DepthLine* line) const;
    // Per chunk (found by its first kernel), its kernels' weights
    // interleaved by pattern group as the update and the kernel-lane forward
    // read them, kept from pass to pass while nothing else changes the
    // weights (version equal to weightsVersion).
    struct WeightCache {
        std::uint64_t version = 0;
        std::vector<int> members;  // kernel indices of the chunk, in order
        std::vector<float> weights;
    };
    // Groups the chunk's maps by pattern and lays out their lanes and
    // interleaved weights; returns the lane count.
    int LayOutGroups(const std::vector<FeatureMap>& maps, ConvolutionScratch& s) const;
    WeightCache& CachedWeights(const std::vector<FeatureMap>& maps, ConvolutionScratch& s);
    // The chunk's copy if it holds the weights of this version, else null.
    WeightCache* CurrentCache(const std::vector<FeatureMap>& maps);
    // The ShareErrors work for one stride (0: any stride).
    template <int kStride>
    void ShareLines(const std::vector<DepthLine*>& lines);
    // Compact shares: a copy slot for this pass's weights (writing out the
    // rows of older copies when none is free), and one share row written out.
    int TakeWeightCopy();
    void WriteOutShares(const std::vector<bool>& slots);
    const float* ShareSource(int output, std::int32_t source) const;

    ConvolutionLayer& layer;
    const ConvLanes* lanes;
    bool usable = false;
    bool buffersMade = false;
    bool activationsFresh = false;
    Layout forwardLayout = Layout::Positions;
    std::vector<WeightCache> weightCaches;
    std::uint64_t weightsVersion = 1;
    bool splitByBlocks = false;  // PrepareForward's choice for its chunk count
    std::vector<DepthLine*> sortedLines;
    std::vector<DepthLine*> dealtLines;
    std::vector<std::vector<DepthLine*>> rowChunks;
    // Balance's reordering, for balancedChunks chunks (0: not made yet).
    int balancedChunks = 0;
    bool balanced = false;
    std::vector<FeatureMap> balancedItems;
    // Staged update results per kernel, besides the weights in the
    // interleaved copies: the bias and the last response.
    std::vector<float> stagedBias;
    // Per kernel, where its weights (bias last) start in a copy of all
    // kernels' weights of stagedSize floats.
    size_t stagedSize = 0;
    std::vector<size_t> stagedStart;
    std::vector<float> stagedOutput;

    // Which copy holds the inputs of the last fast Forward: the padded
    // planes or the position-major copy.
    // (Planes: no copy, the input planes themselves, one after another.)
    enum class InputCopy { None, Padded, Packed, Planes };
    InputCopy inputCopy = InputCopy::None;

    // Window geometry of the layer's largest kernel, by window number.
    int pad = 0;
    int windowCount = 0;
    std::vector<int> windowDx;
    std::vector<int> windowDy;

    // Padded input copies. Output position (c, r) is lane q = r * phaseWidth
    // + c; input map k, phase p is the plane at (k * phaseCount + p) * planeSize.
    int phaseCount = 1;
    int phaseWidth = 0;
    size_t planeSize = 0;
    std::vector<float> planes;
    std::vector<int> tapPhase;   // per window number
    std::vector<int> tapOffset;  // per window number

    // Blocks of ConvLanes::kWidth lanes.
    int blockCount = 0;
    std::vector<std::uint8_t> validBits;     // per block and window number
    std::vector<std::uint8_t> interior;      // per block
    std::vector<std::uint8_t> wholeWindows;  // per block: lanes with every window valid
    std::vector<std::uint8_t> activeBits;    // per block: lanes holding an active field
    std::vector<int> activeBlocks;

    // The gathered layout: blocks of kWidth lanes, either eight neighbours
    // around a run of active fields or active fields packed from anywhere
    // (padded with the last one); per block, as for the blocks above, its
    // window bits, whether it is interior, and its lanes holding an active
    // field (the only ones whose activations are kept).
    std::vector<std::int32_t> gatherLanes;
    int gatherBlocks = 0;
    int packedBlocks = 0;  // those of packed fields
    // The bands of a forward split by rows (one band when it is not split):
    // band c is rows [bandRows[c], bandRows[c + 1]) of the output planes,
    // holding the active fields [bandFields[c], bandFields[c + 1]) and
    // computed as the blocks [bandBlocks[c], bandBlocks[c + 1]) of the
    // layout (the gathered plan is made band by band).
    std::vector<int> bandRows;
    std::vector<size_t> bandFields;
    std::vector<int> bandBlocks;
    void PlanBands(int bands, double blockCost, double runCost, double packedLaneCost);
    // The lane of a position block's first active field.
    std::int64_t FirstActiveLane(int block) const;
    // Zeroes output rows [firstRow, endRow) of the maps' planes and writes
    // the saved activations of the active fields [firstField, endField),
    // which lie in those rows.
    void WriteRows(const std::vector<FeatureMap>& maps, int firstRow, int endRow, size_t firstField,
                   size_t endField);
    std::vector<std::uint8_t> gatherValid;
    std::vector<std::uint8_t> gatherInterior;
    std::vector<std::uint8_t> gatherActive;
    // Per gathered lane, its field's centre in the input planes, and per
    // window number its offset there; usable when gatherFromPlanes.
    std::vector<std::int32_t> gatherSources;
    std::vector<int> windowShift;
    bool gatherFromPlanes = false;
    // Whether input map k's plane starts k * planeDistance floats after
    // map 0's, for every k.
    bool planesInOneBlock = false;
    size_t planeDistance = 0;

    // The forward pass's activations, per output map laneCapacity floats in
    // lane order (LaneOf), as the position blocks leave them.
    std::vector<float> activations;
    size_t laneCapacity = 0;
    size_t cellCount = 0;  // output plane size
    // ActivateFields' bitmaps of input positions: field centres, and the
    // centres widened across by the window.
    std::vector<std::uint64_t> centreBits;
    // Per 64 positions of an input row, those that are fields' centres.
    std::vector<std::uint64_t> centreColumns;
    std::vector<std::uint64_t> acrossBits;
    // Input positions whose lines are known to be active (a bit may be
    // clear for an active line, never the other way round).
    std::vector<std::uint64_t> knownActive;
    // Whether knownActive holds exactly the queued lines.
    bool knownFromQueue = false;
    // Per field (row * outputWidth + column): its position in activeFields
    // in the last Forward, or -1.
    std::vector<std::int32_t> fieldSlot;

    // Per output map, gathered by PrepareErrors for ShareErrors: its
    // kernel's weights (or their copy for compact shares, which ChunkErrors
    // makes).
    std::vector<const float*> mapWeights;
    // Per active field (in activeFields order), errorRowSize floats: the
    // error of output map i, target minus activation, at errorColumn[i], as
    // ChunkErrors found it; errorChunks chunks made them.
    std::vector<float> fieldErrors;
    int errorChunks = 1;
    size_t errorRowSize = 0;
    std::vector<size_t> errorColumn;
    static constexpr int kFloatsPerLine = 16;
    // Per active field of the last forward: its cell in the output planes
    // (CellOf) and its lane in the activations (LaneOf).
    std::vector<size_t> activeCells;
    std::vector<size_t> activeLanes;
    // Whether ActivateFields has listed them for the fields it chose since
    // the last PrepareForward.
    bool activeListed = false;
    // Per input position, the summed shares ShareErrors leaves for AddRows.
    std::vector<float> lineSums;
    // The kernels' distinct patterns. For a pattern, its entries sorted so
    // that the fields reaching a line through them come latest first.
    struct PatternEntry {
        int entry;  // j: the weights of pattern entry j
        int dx;
        int dy;
    };
    std::vector<std::vector<PatternEntry>> patternEntries;
    std::vector<int> patternOf;  // per kernel

    // The planes the depth lines point into: row 0 and the row step of each.
    std::vector<float*> inputRows;
    std::vector<size_t> inputSteps;
    // Input values position-major: position y * inputWidth + x, then map k,
    // packedStride floats per position (the map count rounded up to whole
    // vectors, so that the copy is made by 8 x 8 transposes).
    std::vector<float> packedInputs;
    size_t packedStride = 0;

    // Compact shares (see SyncErrorShares). Per line and output map
    // (position * outputCount + map): the error and its source, kHeld when
    // the line's row is current, else slot * kEntrySpan + pattern entry.
    struct ShareRef {
        float factor = 0.0f;
        std::int32_t source = kHeld;
    };
    static constexpr std::int32_t kHeld = -1;
    static constexpr std::int32_t kEntrySpan = 1 << 16;
    int copySlots = 8;
    bool compactShares = false;
    bool sharesHeld = false;  // some reference is not kHeld
    std::vector<ShareRef> shareRefs;
    // copySlots copies of all kernels' weights (bias last, at stagedStart),
    // each tagged with the pass that made it (0: free).
    std::vector<float> weightCopies;
    std::vector<std::uint64_t> copyPass;
    std::uint64_t sharePasses = 0;
    int copySlot = 0;  // this pass's copy
};

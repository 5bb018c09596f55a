#include "layers/ConvolutionFast.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstring>
#include <functional>
#include <opencv2/core.hpp>

#include "layers/ConvKernel.h"
#include "layers/ConvolutionLayer.h"
#include "common/Prefetch.h"

// Working memory of one worker thread. The vectors only grow, so after the
// first passes a task allocates nothing.
struct ConvolutionScratch {
    std::vector<float> sums;
    // The update task's kernel groups: map positions in group order, and per
    // group its first entry in `order`, its size and where its lanes start.
    std::vector<int> groupOf;
    std::vector<int> groupFirst;
    std::vector<int> groupOfPattern;
    std::vector<int> groupSize;
    std::vector<int> groupStart;
    std::vector<int> order;
    std::vector<int> placed;
    std::vector<size_t> groupWeights;
    std::vector<int> groupLanes;
    std::vector<float> weights;
    std::vector<float*> memberWeights;
    std::vector<float*> rowPointers;
    std::vector<float> bias;
    std::vector<float> rate;
    std::vector<float> slope;
    std::vector<float> output;
    std::vector<float> steps;
    std::vector<float*> targets;
    std::vector<std::uint64_t> positions;
    std::vector<int> writerField;
    std::vector<int> writerEntry;
    std::vector<const float*> shareSources;
    std::vector<float> shareFactors;
    std::vector<int> bundled;
    std::vector<int> bundleEnd;
    std::vector<const float*> entryInputs;
    std::vector<int> entries;
    std::vector<float> row;
    std::vector<float> columns;
    std::vector<float> gathered;
    std::vector<int> windows;
    std::vector<int> columnOffset;
    std::vector<int> zeros;
    std::vector<int> identity;
    std::vector<std::int32_t> sparseLanes;
    std::vector<double> rowCost;
    size_t weightTotal = 0;  // of the groups LayOutGroups laid out
};

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// The number of set bits of a word.
inline int PopCount(std::uint64_t bits) { return static_cast<int>(std::bitset<64>(bits).count()); }

// The position of the lowest set bit of a word that is not 0.
inline int LowestSetBit(std::uint64_t bits) {
#if defined(_MSC_VER)
    unsigned long index = 0;
    _BitScanForward64(&index, bits);
    return static_cast<int>(index);
#else
    return __builtin_ctzll(bits);
#endif
}

using Scratch = ConvolutionScratch;

Scratch& ThreadScratch() {
    thread_local Scratch scratch;
    return scratch;
}

// Kernels per call of the forward vector loops: their sums stay in cache
// until the activations are taken from them.
constexpr int kForwardTile = 4;

int RoundUpToLanes(int count) { return (count + kWidth - 1) / kWidth * kWidth; }

// Groups a chunk's maps by their kernels' pattern (patternOf: the pattern
// number of each kernel of the layer), in order of first appearance: group g
// is maps[order[groupStart[g] + i]] for i < groupSize[g], in chunk order.
void GroupByPattern(const std::vector<FeatureMap>& maps, const std::vector<int>& patternOf,
                    Scratch& s) {
    s.groupOf.assign(maps.size(), -1);
    s.groupFirst.clear();
    // The group of each pattern number met so far (pattern numbers are
    // below the kernel count).
    s.groupOfPattern.assign(patternOf.size(), -1);
    for (size_t m = 0; m < maps.size(); ++m) {
        int& group = s.groupOfPattern[static_cast<size_t>(
            patternOf[static_cast<size_t>(maps[m].kernel->index)])];
        if (group < 0) {
            group = static_cast<int>(s.groupFirst.size());
            s.groupFirst.push_back(static_cast<int>(m));
        }
        s.groupOf[m] = group;
    }
    const size_t groupCount = s.groupFirst.size();
    s.groupSize.assign(groupCount, 0);
    for (const int g : s.groupOf) ++s.groupSize[static_cast<size_t>(g)];
    s.groupStart.assign(groupCount, 0);
    for (size_t g = 1; g < groupCount; ++g)
        s.groupStart[g] = s.groupStart[g - 1] + s.groupSize[g - 1];
    s.order.resize(maps.size());
    s.placed.assign(groupCount, 0);
    for (size_t m = 0; m < maps.size(); ++m) {
        const size_t g = static_cast<size_t>(s.groupOf[m]);
        s.order[static_cast<size_t>(s.groupStart[g] + s.placed[g]++)] = static_cast<int>(m);
    }
}

// The kernel's activation of a full sum, as ConvKernel::Respond clips it.
float Activate(float bias, float sum, float slope) {
    float x = bias + sum;
    if (!(x > 0.0f)) x = slope;
    if (x > 1.0f) x = 1.0f;
    return x;
}

}  // namespace

ConvolutionFast::ConvolutionFast(ConvolutionLayer& layer)
    : layer(layer), lanes(&ConvLanes::Best()) {}

void ConvolutionFast::Configure() {
    buffersMade = false;
    compactShares = false;
    sharesHeld = false;
    const int s = layer.stride;
    const int width = layer.inputWidth;
    const int height = layer.inputHeight;
    const int outWidth = layer.outputWidth;
    const int outHeight = layer.outputHeight;

    const std::vector<cv::Point> offsets = ConvKernel::WindowOffsets(layer.maxKernelWidth);
    windowCount = static_cast<int>(offsets.size());
    pad = layer.maxKernelWidth / 2;
    usable = s >= 1 && outWidth > 0 && outHeight > 0 &&
             layer.fields.size() == static_cast<size_t>(outWidth) * outHeight;
    // ActivateFields finds each field's centre from its row and column.
    for (size_t f = 0; usable && f < layer.fields.size(); ++f) {
        const ReceptiveField& field = layer.fields[f];
        usable = field.row == static_cast<int>(f) / outWidth &&
                 field.column == static_cast<int>(f) % outWidth &&
                 field.centerX == s * field.column + s / 2 &&
                 field.centerY == s * field.row + s / 2;
    }
    knownActive.clear();
    knownFromQueue = false;
    activeListed = false;
    // The positions of a row that are fields' centres, as bits of 64.
    centreColumns.assign(static_cast<size_t>(width + 63) / 64, 0);
    for (int column = 0; usable && column < outWidth; ++column) {
        const int centerX = s * column + s / 2;
        centreColumns[static_cast<size_t>(centerX) / 64] |= std::uint64_t{1} << (centerX % 64);
    }
    for (const ConvKernel& kernel : layer.kernels)
        for (const int number : kernel.pattern)
            usable = usable && number >= 0 && number < windowCount;
    if (!usable) return;

    windowDx.resize(static_cast<size_t>(windowCount));
    windowDy.resize(static_cast<size_t>(windowCount));
    for (int w = 0; w < windowCount; ++w) {
        windowDx[w] = offsets[w].x;
        windowDy[w] = offsets[w].y;
    }

    // Split by phase, a stride-s plane becomes s * s planes in which the
    // centres of neighbouring output positions are neighbours again; the
    // padding keeps every window position of every lane inside the copy.
    phaseCount = s * s;
    phaseWidth = (width + 2 * pad + s - 1) / s;
    const int phaseHeight = (height + 2 * pad + s - 1) / s;
    tapPhase.resize(static_cast<size_t>(windowCount));
    tapOffset.resize(static_cast<size_t>(windowCount));
    int maxOffset = 0;
    for (int w = 0; w < windowCount; ++w) {
        const int x = s / 2 + pad + windowDx[w];
        const int y = s / 2 + pad + windowDy[w];
        tapPhase[w] = (y % s) * s + x % s;
        tapOffset[w] = (y / s) * phaseWidth + x / s;
        maxOffset = std::max(maxOffset, tapOffset[w]);
    }
    const int laneCount = (outHeight - 1) * phaseWidth + outWidth;
    blockCount = (laneCount + kWidth - 1) / kWidth;
    planeSize = std::max(static_cast<size_t>(phaseHeight) * phaseWidth,
                         static_cast<size_t>(blockCount) * kWidth + maxOffset);

    validBits.assign(static_cast<size_t>(blockCount) * windowCount, 0);
    interior.assign(static_cast<size_t>(blockCount), 1);
    wholeWindows.assign(static_cast<size_t>(blockCount), 0);
    for (int q = 0; q < blockCount * kWidth; ++q) {
        const int row = q / phaseWidth;
        const int column = q % phaseWidth;
        if (row >= outHeight || column >= outWidth) continue;
        const int centerX = s * column + s / 2;
        const int centerY = s * row + s / 2;
        const int block = q / kWidth;
        for (int w = 0; w < windowCount; ++w) {
            const int x = centerX + windowDx[w];
            const int y = centerY + windowDy[w];
            if (x >= 0 && x < width && y >= 0 && y < height)
                validBits[static_cast<size_t>(block) * windowCount + w] |=
                    static_cast<std::uint8_t>(1u << (q % kWidth));
            else
                interior[block] = 0;
        }
    }
    for (int block = 0; block < blockCount; ++block) {
        std::uint8_t whole = 0xFF;
        for (int w = 0; w < windowCount; ++w)
            whole &= validBits[static_cast<size_t>(block) * windowCount + w];
        wholeWindows[static_cast<size_t>(block)] = whole;
    }
    activeBits.assign(static_cast<size_t>(blockCount), 0);
    activeBlocks.reserve(static_cast<size_t>(blockCount));

    cellCount = static_cast<size_t>(outWidth) * outHeight;
    stagedStart.clear();
    size_t staged = 0;
    for (const ConvKernel& kernel : layer.kernels) {
        stagedStart.push_back(staged);
        staged += kernel.weights.size();
    }
    stagedSize = staged;
    // Compact shares pay where a pass's copy of the weights is small beside
    // the rows it stands for (an eighth of all rows at most: a pass touches
    // a good part of them). As many copies as fit a budget of about 4 MB per
    // layer (at least four, at most 64): the more copies, the longer a line
    // may rest before its rows must be written out.
    const size_t rowFloats = layer.depthLines.size() * static_cast<size_t>(layer.outputCount) *
                             static_cast<size_t>(layer.inputCount);
    const size_t budget = size_t{1} << 20;
    copySlots = static_cast<int>(
        std::min<size_t>(64, std::max<size_t>(4, budget / std::max<size_t>(1, stagedSize))));
    compactShares = !layer.entryLayer && 8 * stagedSize <= rowFloats;
    weightCaches.assign(layer.kernels.size(), WeightCache{});
    ++weightsVersion;
    sharePasses = 0;
    balancedChunks = 0;
    laneCapacity = static_cast<size_t>(blockCount) * kWidth;
    fieldSlot.assign(cellCount, -1);

    // The field that reaches a line through entry j is centred at the line's
    // position minus the entry's offset; fields come in row-major order of
    // their centres, so the smaller the offset (dy first), the later the field.
    std::vector<const std::vector<int>*> patterns;
    patternEntries.clear();
    patternOf.clear();
    for (const ConvKernel& kernel : layer.kernels) {
        size_t p = 0;
        while (p < patterns.size() && *patterns[p] != kernel.pattern) ++p;
        patternOf.push_back(static_cast<int>(p));
        if (p < patterns.size()) continue;
        patterns.push_back(&kernel.pattern);
        std::vector<PatternEntry> entries;
        for (size_t j = 0; j < kernel.pattern.size(); ++j) {
            const int number = kernel.pattern[j];
            entries.push_back({static_cast<int>(j), windowDx[number], windowDy[number]});
        }
        std::sort(entries.begin(), entries.end(), [](const PatternEntry& a, const PatternEntry& b) {
            return a.dy != b.dy ? a.dy < b.dy : a.dx < b.dx;
        });
        patternEntries.push_back(std::move(entries));
    }
    inputRows.assign(static_cast<size_t>(layer.inputCount), nullptr);
    inputSteps.assign(static_cast<size_t>(layer.inputCount), 0);
    packedStride = static_cast<size_t>(RoundUpToLanes(layer.inputCount));
    activationsFresh = false;
}

void ConvolutionFast::Release() {
    usable = false;
    activationsFresh = false;
    buffersMade = false;
    compactShares = false;
    sharesHeld = false;
    shareRefs.clear();
    shareRefs.shrink_to_fit();
    copyPass.clear();
    for (std::vector<float>* buffer :
         {&planes, &activations, &packedInputs, &lineSums, &stagedBias, &weightCopies}) {
        buffer->clear();
        buffer->shrink_to_fit();
    }
    validBits.clear();
    interior.clear();
    knownActive.clear();
    knownFromQueue = false;
    activeListed = false;
    activeBits.clear();
    activeBlocks.clear();
    inputRows.clear();
    inputSteps.clear();
    fieldSlot.clear();
    patternEntries.clear();
    patternOf.clear();
    balancedItems.clear();
    balancedChunks = 0;
    weightCaches.clear();
}

size_t ConvolutionFast::IndexOf(const DepthLine* line) const {
    // The layer keeps its lines in one block in position order.
    return static_cast<size_t>(line - layer.depthLines.front());
}
void ConvolutionFast::Link(const FeatureMaps& inputs) {
    if (!usable) return;
    for (size_t k = 0; k < inputRows.size(); ++k) {
        inputRows[k] = inputs[k].image->ptr<float>(0);
        inputSteps[k] = inputs[k].image->step1();
    }
    // The gathered layout reads the planes themselves when they share one
    // row step (they do when each is continuous) and offsets fit 32 bits.
    const size_t step = inputSteps.empty() ? 0 : inputSteps.front();
    gatherFromPlanes = !inputSteps.empty() &&
                       std::all_of(inputSteps.begin(), inputSteps.end(),
                                   [step](size_t other) { return other == step; }) &&
                       step * static_cast<size_t>(layer.inputHeight + 2 * pad) < (size_t{1} << 30);
    // Planes that follow each other at one distance (a layer's own output
    // planes are made so) can stand in for the update's copy.
    // (Compared as addresses: the planes may belong to separate blocks.)
    const auto address = [this](size_t k) {
        return reinterpret_cast<std::uintptr_t>(inputRows[k]);
    };
    planesInOneBlock = gatherFromPlanes && inputRows.size() > 1 && address(1) > address(0) &&
                       (address(1) - address(0)) % sizeof(float) == 0;
    planeDistance = planesInOneBlock ? (address(1) - address(0)) / sizeof(float) : 0;
    for (size_t k = 1; k < inputRows.size() && planesInOneBlock; ++k)
        planesInOneBlock = address(k) == address(0) + k * planeDistance * sizeof(float);
    windowShift.assign(static_cast<size_t>(windowCount), 0);
    for (int w = 0; w < windowCount && gatherFromPlanes; ++w)
        windowShift[static_cast<size_t>(w)] = windowDy[w] * static_cast<int>(step) + windowDx[w];
}

void ConvolutionFast::ActivateFields(const cv::Mat& resizedMask, float threshold,
                                     std::vector<DepthLine*>* queue) {
    const int width = layer.inputWidth;
    const int height = layer.inputHeight;
    const int s = layer.stride;
    const size_t words = static_cast<size_t>(width + 63) / 64;
    // Bitmaps of input positions, row by row: the centres of the active
    // fields, then those widened by the window (whose lines are the full
    // square of maxKernelWidth around the centre) across, then down.
    // Field row * outputWidth + column is centred at (s * column + s / 2,
    // s * row + s / 2) (checked by Configure), so its record is not read.
    centreBits.assign(static_cast<size_t>(height) * words, 0);
    size_t activeCount = 0;
    for (int row = 0; row < layer.outputHeight; ++row) {
        const int centerY = s * row + s / 2;
        const float* maskRow = resizedMask.ptr<float>(centerY);
        std::uint64_t* bits = centreBits.data() + static_cast<size_t>(centerY) * words;
        for (size_t i = 0; i < words; ++i) {
            // The word's positions above the threshold, without a branch
            // per position (which the mask's pattern would mispredict),
            // then only the fields' centres among them.
            const int first = static_cast<int>(i * 64);
            const int end = std::min(width, first + 64);
            std::uint64_t above = 0;
            for (int x = first; x < end; ++x)
                above |= static_cast<std::uint64_t>(maskRow[x] > threshold) << (x - first);
            bits[i] = above & centreColumns[i];
            activeCount += static_cast<size_t>(PopCount(bits[i]));
        }
    }
    // The active fields in order, with their cells and lanes.
    layer.activeFields.clear();
    layer.activeFields.resize(activeCount);
    activeCells.resize(activeCount);
    activeLanes.resize(activeCount);
    size_t f = 0;
    for (int row = 0; row < layer.outputHeight; ++row) {
        const std::uint64_t* bits =
            centreBits.data() + static_cast<size_t>(s * row + s / 2) * words;
        ReceptiveField* rowFields =
            layer.fields.data() + static_cast<size_t>(row) * layer.outputWidth;
        for (size_t i = 0; i < words; ++i) {
            for (std::uint64_t above = bits[i]; above != 0; above &= above - 1, ++f) {
                const int column = static_cast<int>(i * 64 + LowestSetBit(above)) / s;
                layer.activeFields[f] = rowFields + column;
                activeCells[f] = CellAt(row, column);
                activeLanes[f] = LaneAt(row, column);
            }
        }
    }
    activeListed = true;
    if (layer.activeFields.empty()) return;
    acrossBits.assign(centreBits.size(), 0);
    for (int y = 0; y < height; ++y) {
        const std::uint64_t* in = centreBits.data() + static_cast<size_t>(y) * words;
        std::uint64_t* out = acrossBits.data() + static_cast<size_t>(y) * words;
        for (int shift = -pad; shift <= pad; ++shift) {
            // Bit x of the result is bit x - shift of the centres.
            for (size_t i = 0; i < words; ++i) {
                std::uint64_t bits = in[i];
                if (shift > 0) {
                    bits <<= shift;
                    if (i > 0) bits |= in[i - 1] >> (64 - shift);
                } else if (shift < 0) {
                    bits >>= -shift;
                    if (i + 1 < words) bits |= in[i + 1] << (64 + shift);
                }
                out[i] |= bits;
            }
        }
    }

    // The positions whose lines are known to be active already, so that no
    // line is read. A queue holds exactly the active lines of its layer,
    // and only this and LinesChanged's callers change it. Lines that are not
    // queued are never set inactive, so the bits set here stay true (a line
    // the plain path set active is set again, which changes nothing).
    DepthLine* const firstLine = layer.depthLines.front();
    if (queue != nullptr && !knownFromQueue) {
        knownFromQueue = true;
        knownActive.assign(centreBits.size(), 0);
        for (const DepthLine* line : *queue) {
            const size_t position = static_cast<size_t>(line - firstLine);
            const size_t y = position / static_cast<size_t>(width);
            const size_t x = position % static_cast<size_t>(width);
            knownActive[y * words + x / 64] |= std::uint64_t{1} << (x % 64);
        }
    } else if (knownActive.size() != centreBits.size()) {
        knownActive.assign(centreBits.size(), 0);
    }
    // Positions past the right edge are no lines.
    const std::uint64_t lastWord =
        width % 64 == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << (width % 64)) - 1;
    for (int y = 0; y < height; ++y) {
        for (size_t i = 0; i < words; ++i) {
            std::uint64_t bits = 0;
            for (int r = std::max(0, y - pad); r <= std::min(height - 1, y + pad); ++r)
                bits |= acrossBits[static_cast<size_t>(r) * words + i];
            if (i + 1 == words) bits &= lastWord;
            std::uint64_t& known = knownActive[static_cast<size_t>(y) * words + i];
            bits &= ~known;
            known |= bits;
            // Set bits from the lowest up, so the lines go in position order.
            for (; bits != 0; bits &= bits - 1) {
                DepthLine* line =
                    firstLine + static_cast<size_t>(y) * width + i * 64 + LowestSetBit(bits);
                line->active = true;
                if (queue != nullptr) queue->push_back(line);
            }
        }
    }
}

bool ConvolutionFast::LinkedTo(const FeatureMaps& inputs) const {
    if (!usable || inputs.size() != inputRows.size()) return false;
    for (size_t k = 0; k < inputRows.size(); ++k)
        if (inputs[k].image->ptr<float>(0) != inputRows[k] ||
            inputs[k].image->step1() != inputSteps[k])
            return false;
    return true;
}

void ConvolutionFast::PrepareForward(int chunkCount) {
    AllocateBuffers();
    std::fill(activeBits.begin(), activeBits.end(), 0);
    std::fill(fieldSlot.begin(), fieldSlot.end(), -1);
    // ActivateFields lists the cells and lanes as it chooses the fields;
    // fields chosen any other way are listed from their records.
    if (!activeListed) {
        activeCells.resize(layer.activeFields.size());
        activeLanes.resize(layer.activeFields.size());
        for (size_t f = 0; f < layer.activeFields.size(); ++f) {
            activeCells[f] = CellOf(*layer.activeFields[f]);
            activeLanes[f] = LaneOf(*layer.activeFields[f]);
        }
    }
    activeListed = false;
    for (size_t f = 0; f < layer.activeFields.size(); ++f) {
        fieldSlot[activeCells[f]] = static_cast<std::int32_t>(f);
        const size_t lane = activeLanes[f];
        activeBits[lane / kWidth] |= static_cast<std::uint8_t>(1u << (lane % kWidth));
    }
    activeBlocks.clear();
    int maskedBlocks = 0;
    for (int block = 0; block < blockCount; ++block) {
        if (activeBits[block] == 0) continue;
        activeBlocks.push_back(block);
        maskedBlocks += interior[block] == 0 ? 1 : 0;
    }

    // Estimated cycles of the layouts, per product of a pattern entry and
    // an input. By positions: eight lanes per step at about two steps a
    // cycle, half as much again for blocks that need masking. Gathered: the
    // same over blocks of eight neighbours around runs of active fields and
    // blocks of active fields packed from anywhere, plus the copying of their
    // columns (every window position and input), which each chunk does for
    // itself: a load and a store per vector for neighbours, a gather (about
    // three cycles) for packed fields. By kernels: one step per field and vector
    // of each group, but a sum waits four cycles for its previous add, so
    // fewer than eight vectors cannot go faster; plus the interleaving of
    // the weights (an 8 x 8 transpose, about three cycles a vector).
    const double blocks = static_cast<double>(activeBlocks.size());
    const double maskedShare = blocks > 0 ? maskedBlocks / blocks : 0.0;
    const double fields = static_cast<double>(layer.activeFields.size());
    const double masking = 1.0 + 0.5 * maskedShare;
    double compute = 0.0;  // one block of every kernel, all chunks
    double byKernels = 0.0;
    const int chunks = std::max(1, chunkCount);
    std::vector<int>& members = ThreadScratch().placed;
    for (int chunk = 0; chunk < chunks; ++chunk) {
        members.assign(patternEntries.size(), 0);
        for (int i = chunk; i < layer.outputCount; i += chunks)
            ++members[static_cast<size_t>(patternOf[static_cast<size_t>(i)])];
        for (size_t p = 0; p < patternEntries.size(); ++p) {
            const double steps = static_cast<double>(patternEntries[p].size()) * layer.inputCount;
            const double vectors = static_cast<double>(RoundUpToLanes(members[p]) / kWidth);
            compute += steps * members[p] * 0.5 * masking;
            byKernels += steps * (fields * std::max(4.0, 0.5 * vectors) + 3.0 * vectors);
        }
    }
    // Each chunk copies the columns of its blocks: a plain load and store
    // per vector for a run's neighbours, a gather for packed fields.
    const double columns = static_cast<double>(chunks) * windowCount * layer.inputCount;
    const double copy = 0.5 * columns;
    const double gather = 3.0 * columns;
    const double byPositions = compute * blocks;
    // A run of r fields is worth a block of its own when r packed lanes
    // would cost as much.
    const int minimumRun =
        std::min(kWidth, std::max(1, static_cast<int>(std::ceil(kWidth * (compute + copy) /
                                                                std::max(1.0, compute + gather)))));
    bandFields.assign({0, layer.activeFields.size()});
    PlanGathered(minimumRun);
    const double runBlocks = static_cast<double>(gatherBlocks - packedBlocks);
    const double byGathered =
        runBlocks * (compute + copy) + static_cast<double>(packedBlocks) * (compute + gather);

    forwardLayout = Layout::Positions;
    if (byGathered < byPositions) forwardLayout = Layout::GatheredPositions;
    if (byKernels < std::min(byPositions, byGathered)) forwardLayout = Layout::Kernels;
    // With several chunks and no more gathered blocks than chunks, a
    // position layout is split by kernels, and every chunk gathers all the
    // columns for tiles of a single block; the kernels layout splits the
    // kernels without that (30-50 % less time per such layer with two
    // workers, in alternating runs, where the estimate above favoured the
    // gathered blocks up to threefold).
    if (chunks >= 2 && fields > 0 && gatherBlocks <= chunks) forwardLayout = Layout::Kernels;

    // Bands of rows hold whole blocks, so a few blocks split unevenly (one
    // block leaves a worker idle); splitting the kernels instead makes every
    // chunk copy the columns of all blocks for itself. Take the split whose
    // busiest chunk has less to do. Chunk c must hold map c (ChunkOf).
    const bool gathered = forwardLayout == Layout::GatheredPositions;
    const double splitBlocks = gathered ? static_cast<double>(gatherBlocks) : blocks;
    const double blockCopy = gathered ? (copy + gather) / (2.0 * chunks) : 0.0;
    const double busiestByBlocks = std::ceil(splitBlocks / chunks) * (compute + blockCopy);
    const double busiestByKernels = splitBlocks * (compute / chunks + blockCopy);
    splitByBlocks = chunks >= 2 && forwardLayout != Layout::Kernels &&
                    busiestByBlocks <= busiestByKernels && layer.outputCount >= chunks;
    PlanBands(splitByBlocks ? chunks : 1, compute * masking, compute + copy,
              (compute + gather) / kWidth);
    if (splitByBlocks && gathered) PlanGathered(minimumRun);
    if (forwardLayout == Layout::Kernels) {
        PackInputs();
        inputCopy = InputCopy::Packed;
    } else if (forwardLayout == Layout::GatheredPositions && gatherFromPlanes) {
        // No copy: the columns are gathered from the planes themselves (the
        // update makes its copy when it needs one).
        MarkGatheredWindows();
        inputCopy = InputCopy::None;
    } else {
        PadInputs();
        if (forwardLayout == Layout::GatheredPositions) MarkGatheredWindows();
        inputCopy = InputCopy::Padded;
    }
}

void ConvolutionFast::PlanGathered(int minimumRun) {
    // Band by band: runs of at least minimumRun active fields among eight
    // neighbouring lanes keep their neighbours as one block (read with plain
    // loads); the band's other fields are packed eight to a block, after its
    // blocks of runs.
    const int laneLimit = blockCount * kWidth;
    std::vector<std::int32_t>& sparse = ThreadScratch().sparseLanes;
    gatherLanes.clear();
    gatherActive.clear();
    packedBlocks = 0;
    const size_t bands = bandFields.size() - 1;
    bandBlocks.assign(bands + 1, 0);
    // Active fields come in row-major order, which is lane order.
    for (size_t band = 0; band < bands; ++band) {
        sparse.clear();
        const size_t bandEnd = bandFields[band + 1];
        for (size_t i = bandFields[band]; i < bandEnd;) {
            const int lane = static_cast<int>(activeLanes[i]);
            size_t end = i;
            while (end < bandEnd && static_cast<int>(activeLanes[end]) < lane + kWidth) ++end;
            if (static_cast<int>(end - i) < minimumRun) {
                sparse.push_back(lane);
                ++i;
                continue;
            }
            const int start = std::min(lane, laneLimit - kWidth);
            std::uint8_t active = 0;
            for (; i < end; ++i)
                active |= static_cast<std::uint8_t>(1u << (activeLanes[i] - start));
            for (int l = 0; l < kWidth; ++l) gatherLanes.push_back(start + l);
            gatherActive.push_back(active);
        }
        for (size_t i = 0; i < sparse.size(); i += kWidth) {
            std::uint8_t active = 0;
            for (size_t l = 0; l < static_cast<size_t>(kWidth); ++l) {
                // Padding: the last field again, computed and dropped.
                const bool real = i + l < sparse.size();
                gatherLanes.push_back(real ? sparse[i + l] : sparse.back());
                if (real) active |= static_cast<std::uint8_t>(1u << l);
            }
            gatherActive.push_back(active);
        }
        packedBlocks += static_cast<int>((sparse.size() + kWidth - 1) / kWidth);
        bandBlocks[band + 1] = static_cast<int>(gatherActive.size());
    }
    gatherBlocks = static_cast<int>(gatherActive.size());
}

void ConvolutionFast::PlanBands(int bands, double blockCost, double runCost,
                                double packedLaneCost) {
    const int height = layer.outputHeight;
    const size_t count = static_cast<size_t>(bands);
    bandRows.assign(count + 1, height);
    bandRows[0] = 0;
    if (bands > 1) {
        // The estimated work of each output row, from the plan of one band.
        std::vector<double>& rowCost = ThreadScratch().rowCost;
        rowCost.assign(static_cast<size_t>(height), 0.0);
        const auto rowOf = [this, height](std::int64_t lane) {
            return static_cast<size_t>(std::min<std::int64_t>(height - 1, lane / phaseWidth));
        };
        if (forwardLayout == Layout::GatheredPositions) {
            const int runBlocks = gatherBlocks - packedBlocks;
            for (int block = 0; block < gatherBlocks; ++block) {
                const std::int32_t* lanes =
                    gatherLanes.data() + static_cast<size_t>(block) * kWidth;
                const std::uint8_t active = gatherActive[static_cast<size_t>(block)];
                if (block < runBlocks) {
                    rowCost[rowOf(lanes[LowestSetBit(active)])] += runCost;
                    continue;
                }
                for (int l = 0; l < kWidth; ++l)
                    if ((active >> l & 1) != 0) rowCost[rowOf(lanes[l])] += packedLaneCost;
            }
        } else {
            for (const int block : activeBlocks)
                rowCost[rowOf(FirstActiveLane(block))] += blockCost;
        }
        double total = 0.0;
        for (const double cost : rowCost) total += cost;
        // Band c starts at the row where the work before it reaches c / bands
        // of the whole (rows count from their middle).
        double before = 0.0;
        size_t band = 1;
        for (int row = 0; row < height; ++row) {
            const double cost = rowCost[static_cast<size_t>(row)];
            while (band < count && before + cost / 2 >= total * static_cast<double>(band) / bands)
                bandRows[band++] = row;
            before += cost;
        }
    }
    // Fields and position blocks come in row order. (The gathered plan
    // finds its blocks' bands as it makes them, from the fields'.)
    const std::vector<ReceptiveField*>& fields = layer.activeFields;
    bandFields.assign(count + 1, fields.size());
    bandFields[0] = 0;
    for (size_t band = 1; band < count; ++band)
        bandFields[band] = static_cast<size_t>(
            std::lower_bound(fields.begin(), fields.end(), bandRows[band],
                             [](const ReceptiveField* field, int r) { return field->row < r; }) -
            fields.begin());
    if (forwardLayout == Layout::GatheredPositions) return;
    bandBlocks.assign(count + 1, static_cast<int>(activeBlocks.size()));
    bandBlocks[0] = 0;
    for (size_t band = 1; band < count; ++band) {
        const int row = bandRows[band];
        bandBlocks[band] =
            static_cast<int>(std::lower_bound(activeBlocks.begin(), activeBlocks.end(), row,
                                              [this](int block, int r) {
                                                  return FirstActiveLane(block) / phaseWidth < r;
                                              }) -
                             activeBlocks.begin());
    }
}

std::int64_t ConvolutionFast::FirstActiveLane(int block) const {
    return static_cast<std::int64_t>(block) * kWidth +
           LowestSetBit(activeBits[static_cast<size_t>(block)]);
}

void ConvolutionFast::MarkGatheredWindows() {
    gatherValid.assign(static_cast<size_t>(gatherBlocks) * windowCount, 0);
    gatherInterior.assign(static_cast<size_t>(gatherBlocks), 1);
    gatherSources.resize(gatherLanes.size());
    const int step = inputSteps.empty() ? 0 : static_cast<int>(inputSteps.front());
    for (size_t i = 0; i < gatherLanes.size(); ++i) {
        // The centre of the lane's field in the input planes.
        const int row = gatherLanes[i] / phaseWidth;
        const int column = gatherLanes[i] % phaseWidth;
        gatherSources[i] = (layer.stride * row + layer.stride / 2) * step + layer.stride * column +
                           layer.stride / 2;
    }
    for (size_t block = 0; block < static_cast<size_t>(gatherBlocks); ++block) {
        std::uint8_t* valid = gatherValid.data() + block * windowCount;
        const std::int32_t* lanes = gatherLanes.data() + block * kWidth;
        const auto whole = [this](std::int32_t lane) {
            return (wholeWindows[static_cast<size_t>(lane / kWidth)] >> (lane % kWidth) & 1) != 0;
        };
        // Most blocks lie wholly inside the input: every window of every lane.
        if (std::all_of(lanes, lanes + kWidth, whole)) {
            std::fill(valid, valid + windowCount, std::uint8_t{0xFF});
            continue;
        }
        for (int l = 0; l < kWidth; ++l) {
            const std::uint8_t bit = static_cast<std::uint8_t>(1u << l);
            const std::int32_t lane = lanes[l];
            const std::uint8_t* laneValid =
                validBits.data() + static_cast<size_t>(lane / kWidth) * windowCount;
            for (int w = 0; w < windowCount; ++w) {
                // A lane outside the input's positions keeps its sum as it is;
                // its window lies inside the padded copy either way.
                if ((laneValid[w] >> (lane % kWidth) & 1) != 0)
                    valid[w] |= bit;
                else
                    gatherInterior[block] = 0;
            }
        }
    }
}

void ConvolutionFast::PadInputs() {
    const int s = layer.stride;
    const int width = layer.inputWidth;
    for (size_t k = 0; k < inputRows.size(); ++k) {
        float* inputPlanes = planes.data() + k * phaseCount * planeSize;
        for (int y = 0; y < layer.inputHeight; ++y) {
            const float* source = inputRows[k] + static_cast<size_t>(y) * inputSteps[k];
            const int paddedY = y + pad;
            float* phaseRows = inputPlanes + static_cast<size_t>((paddedY % s) * s) * planeSize +
                               static_cast<size_t>(paddedY / s) * phaseWidth;
            // Column x lands in phase (x + pad) % s, at (x + pad) / s.
            for (int first = 0; first < s && first < width; ++first) {
                const int paddedX = first + pad;
                float* target =
                    phaseRows + static_cast<size_t>(paddedX % s) * planeSize + paddedX / s;
                if (s == 1)
                    std::copy(source, source + width, target);
                else if (s == 2)
                    for (int x = first; x < width; x += 2) *target++ = source[x];
                else
                    for (int x = first; x < width; x += s) *target++ = source[x];
            }
        }
    }
}

void ConvolutionFast::PackInputs() {
    const int n = static_cast<int>(inputRows.size());
    std::vector<float*>& rows = ThreadScratch().memberWeights;
    rows.resize(inputRows.size());
    // Row by row: the maps' rows interleave into positions of packedStride floats.
    for (int y = 0; y < layer.inputHeight; ++y) {
        for (size_t k = 0; k < inputRows.size(); ++k)
            rows[k] = inputRows[k] + static_cast<size_t>(y) * inputSteps[k];
        lanes->interleave(
            packedInputs.data() + static_cast<size_t>(y) * layer.inputWidth * packedStride,
            rows.data(), n, static_cast<int>(packedStride), layer.inputWidth);
    }
}

int ConvolutionFast::FieldEntries(const ReceptiveField& field, const std::vector<int>& pattern,
                                  const float** inputs, int* entries) const {
    const bool padded = inputCopy == InputCopy::Padded;
    // In the padded planes a window position is a fixed offset from the
    // field's lane, as in the forward pass.
    const size_t lane = LaneOf(field);
    // The lane's bit per window number is set where the field has a line
    // there, so that the field's own list of lines is not read.
    const std::uint8_t* valid = validBits.data() + lane / kWidth * windowCount;
    const unsigned laneBit = 1u << (lane % kWidth);
    int count = 0;
    for (size_t j = 0; j < pattern.size(); ++j) {
        const int number = pattern[j];
        if ((valid[number] & laneBit) == 0) continue;
        if (padded) {
            inputs[count] = planes.data() + static_cast<size_t>(tapPhase[number]) * planeSize +
                            lane + tapOffset[number];
        } else if (inputCopy == InputCopy::Planes) {
            inputs[count] = inputRows[0] +
                            static_cast<size_t>(field.centerY + windowDy[number]) * inputSteps[0] +
                            static_cast<size_t>(field.centerX + windowDx[number]);
        } else {
            const size_t position =
                static_cast<size_t>(field.centerY + windowDy[number]) * layer.inputWidth +
                (field.centerX + windowDx[number]);
            inputs[count] = packedInputs.data() + position * packedStride;
        }
        entries[count] = static_cast<int>(j);
        ++count;
    }
    return count;
}

size_t ConvolutionFast::CellOf(const ReceptiveField& field) const {
    return CellAt(field.row, field.column);
}

size_t ConvolutionFast::LaneOf(const ReceptiveField& field) const {
    return LaneAt(field.row, field.column);
}

size_t ConvolutionFast::CellAt(int row, int column) const {
    return static_cast<size_t>(row) * layer.outputWidth + column;
}

size_t ConvolutionFast::LaneAt(int row, int column) const {
    return static_cast<size_t>(row) * phaseWidth + column;
}

size_t ConvolutionFast::InputStride() const {
    switch (inputCopy) {
        case InputCopy::Padded:
            return planeSize * static_cast<size_t>(phaseCount);
        case InputCopy::Planes:
            return planeDistance;
        default:
            return 1;
    }
}

size_t ConvolutionFast::ForwardAny(const std::vector<FeatureMap>& maps) {
    switch (forwardLayout) {
        case Layout::Kernels:
            return ForwardByKernels(maps);
        case Layout::GatheredPositions:
            return ForwardByGathered(maps, 0, gatherBlocks);
        case Layout::Positions:
            break;
    }
    return ForwardByPositions(maps, 0, activeBlocks.size());
}

bool ConvolutionFast::SplitsByBlocks(int chunkCount) const {
    return chunkCount >= 2 && splitByBlocks;
}

size_t ConvolutionFast::ChunkOf(const std::vector<FeatureMap>& chunk) {
    return chunk.empty() ? 0 : static_cast<size_t>(chunk.front().kernel->index);
}

bool ConvolutionFast::ComputeBand(size_t band) {
    const std::vector<FeatureMap>& maps = layer.outputs;
    const int begin = bandBlocks[band];
    const int end = bandBlocks[band + 1];
    if (forwardLayout == Layout::GatheredPositions)
        return ForwardByGathered(maps, begin, end) == maps.size();
    return ForwardByPositions(maps, static_cast<size_t>(begin), static_cast<size_t>(end)) ==
           maps.size();
}

void ConvolutionFast::WriteBand(size_t band) {
    WriteRows(layer.outputs, bandRows[band], bandRows[band + 1], bandFields[band],
              bandFields[band + 1]);
}

void ConvolutionFast::WriteRows(const std::vector<FeatureMap>& maps, int firstRow, int endRow,
                                size_t firstField, size_t endField) {
    const size_t firstCell = static_cast<size_t>(firstRow) * layer.outputWidth;
    const size_t endCell = static_cast<size_t>(endRow) * layer.outputWidth;
    // The kernel remembers its last response, that of the last field; the
    // rows holding it set it.
    const bool holdsLast = firstField < endField && endField == activeLanes.size();
    for (const FeatureMap& map : maps) {
        ConvKernel& kernel = *map.kernel;
        float* plane = map.image->ptr<float>(0);
        const float* saved = activations.data() + static_cast<size_t>(kernel.index) * laneCapacity;
        std::fill(plane + firstCell, plane + endCell, 0.0f);
        for (size_t f = firstField; f < endField; ++f)
            plane[activeCells[f]] = saved[activeLanes[f]];
        if (holdsLast) kernel.output = saved[activeLanes.back()];
    }
}

const std::vector<DepthLine*>& ConvolutionFast::DealLines(const std::vector<DepthLine*>& lines,
                                                          int chunkCount) {
    if (chunkCount < 2) return lines;
    if (lines.empty()) {
        rowChunks.assign(static_cast<size_t>(chunkCount), {});
        return lines;
    }
    // In position order, then dealt out so that the pools' round-robin split
    // gives every chunk one run of neighbouring lines: neighbours share the
    // cache lines of the input planes and of the sums, which two workers
    // writing side by side would pass back and forth.
    std::vector<std::uint64_t>& positions = ThreadScratch().positions;
    positions.assign((layer.depthLines.size() + 63) / 64, 0);
    for (const DepthLine* line : lines) {
        const size_t index = IndexOf(line);
        positions[index / 64] |= std::uint64_t{1} << (index % 64);
    }
    sortedLines.clear();
    for (size_t word = 0; word < positions.size(); ++word) {
        std::uint64_t bits = positions[word];
        for (size_t bit = 0; bits != 0; ++bit, bits >>= 1)
            if ((bits & 1) != 0) sortedLines.push_back(layer.depthLines[word * 64 + bit]);
    }
    const size_t count = sortedLines.size();
    const size_t chunks = static_cast<size_t>(chunkCount);
    dealtLines.resize(count);
    // Chunk c takes items c, c + chunks, ...: ceil((count - c) / chunks) of them.
    size_t start = 0;
    for (size_t chunk = 0; chunk < chunks; ++chunk) {
        for (size_t item = chunk, i = 0; item < count; item += chunks, ++i)
            dealtLines[item] = sortedLines[start + i];
        start += (count - std::min(count, chunk) + chunks - 1) / chunks;
    }
    // For adding the sums to the input planes, runs that end where a cache
    // line of the planes does (positions are one float apart in a row), so
    // that no two workers write the same line of a plane: a 4x4 plane is a
    // single cache line, whose cells the even split would spread over both.
    rowChunks.resize(chunks);
    size_t begin = 0;
    for (size_t chunk = 0; chunk < chunks; ++chunk) {
        size_t end = chunk + 1 == chunks ? count : std::max(begin, count * (chunk + 1) / chunks);
        while (end > 0 && end < count &&
               IndexOf(sortedLines[end]) / kFloatsPerLine ==
                   IndexOf(sortedLines[end - 1]) / kFloatsPerLine)
            ++end;
        rowChunks[chunk].assign(sortedLines.begin() + static_cast<std::ptrdiff_t>(begin),
                                sortedLines.begin() + static_cast<std::ptrdiff_t>(end));
        begin = end;
    }
    return dealtLines;
}

size_t ConvolutionFast::Forward(const std::vector<FeatureMap>& maps) {
    // The activations go to the saved planes first; the output planes are
    // written below, only for the maps the reference would complete.
    const size_t failed = ForwardAny(maps);
    WriteOutputs(
        std::vector<FeatureMap>(maps.begin(), maps.begin() + static_cast<std::ptrdiff_t>(failed)));
    return failed;
}

bool ConvolutionFast::ComputeForward(const std::vector<FeatureMap>& maps) {
    return ForwardAny(maps) == maps.size();
}

void ConvolutionFast::WriteOutputs(const std::vector<FeatureMap>& maps) {
    WriteRows(maps, 0, layer.outputHeight, 0, layer.activeFields.size());
}

bool ConvolutionFast::Balance(int chunkCount) {
    if (chunkCount == balancedChunks) return balanced;
    balancedChunks = chunkCount;
    balanced = false;
    balancedItems.clear();
    if (chunkCount < 2) return false;
    const size_t chunks = static_cast<size_t>(chunkCount);
    const size_t patternCount = patternEntries.size();
    // A chunk's work: for every pattern, its length times the lanes its
    // kernels fill, in whole vectors (a vector costs the same with one
    // kernel in it as with eight).
    const auto work = [&](const std::vector<size_t>& kernels) {
        std::vector<size_t> members(patternCount, 0);
        for (const size_t i : kernels) ++members[static_cast<size_t>(patternOf[i])];
        size_t total = 0;
        for (size_t p = 0; p < patternCount; ++p)
            total += patternEntries[p].size() *
                     static_cast<size_t>(RoundUpToLanes(static_cast<int>(members[p])));
        return total;
    };
    std::vector<std::vector<size_t>> plain(chunks);
    for (size_t i = 0; i < layer.kernels.size(); ++i) plain[i % chunks].push_back(i);
    size_t plainMost = 0;
    for (const std::vector<size_t>& chunk : plain) plainMost = std::max(plainMost, work(chunk));

    // Pieces of at most one vector of kernels sharing a pattern, largest
    // first, each to the chunk with the least work so far.
    std::vector<std::vector<size_t>> pieces;
    for (size_t p = 0; p < patternCount; ++p) {
        std::vector<size_t> piece;
        for (size_t i = 0; i < layer.kernels.size(); ++i) {
            if (static_cast<size_t>(patternOf[i]) != p) continue;
            piece.push_back(i);
            if (piece.size() < static_cast<size_t>(kWidth)) continue;
            pieces.push_back(piece);
            piece.clear();
        }
        if (!piece.empty()) pieces.push_back(piece);
    }
    const auto pieceWork = [&](const std::vector<size_t>& piece) {
        return patternEntries[static_cast<size_t>(patternOf[piece.front()])].size() * kWidth;
    };
    std::stable_sort(pieces.begin(), pieces.end(),
                     [&](const std::vector<size_t>& a, const std::vector<size_t>& b) {
                         return pieceWork(a) > pieceWork(b);
                     });
    std::vector<std::vector<size_t>> members(chunks);
    std::vector<size_t> load(chunks, 0);
    for (const std::vector<size_t>& piece : pieces) {
        const size_t chunk =
            static_cast<size_t>(std::min_element(load.begin(), load.end()) - load.begin());
        members[chunk].insert(members[chunk].end(), piece.begin(), piece.end());
        load[chunk] += pieceWork(piece);
    }
    size_t balancedMost = 0;
    for (const std::vector<size_t>& chunk : members)
        balancedMost = std::max(balancedMost, work(chunk));
    // Worth two batches instead of one only when clearly less work.
    balanced = plainMost * 10 > balancedMost * 11;
    if (!balanced) return false;
    size_t longest = 0;
    for (std::vector<size_t>& chunk : members) {
        std::sort(chunk.begin(), chunk.end());
        longest = std::max(longest, chunk.size());
    }
    // Item k goes to chunk k mod chunkCount: deal the chunks out row by row.
    for (size_t row = 0; row < longest; ++row)
        for (const std::vector<size_t>& chunk : members)
            balancedItems.push_back(row < chunk.size() ? layer.outputs[chunk[row]] : FeatureMap{});
    return true;
}

template <typename Take>
size_t ConvolutionFast::ForwardGroups(const std::vector<FeatureMap>& maps, Scratch& s,
                                      ConvLanes::ForwardJob& job, Take take) {
    size_t failed = maps.size();
    for (size_t g = 0; g < s.groupFirst.size(); ++g) {
        const std::vector<int>& pattern =
            maps[static_cast<size_t>(s.groupFirst[g])].kernel->pattern;
        job.pattern = pattern.data();
        job.patternLength = static_cast<int>(pattern.size());
        for (int tile = 0; tile < s.groupSize[g]; tile += kForwardTile) {
            const int count = std::min(kForwardTile, s.groupSize[g] - tile);
            const float* weights[kForwardTile];
            const int* members = s.order.data() + s.groupStart[g] + tile;
            for (int t = 0; t < count; ++t)
                weights[t] = maps[static_cast<size_t>(members[t])].kernel->weights.data();
            job.weights = weights;
            job.kernelCount = count;
            lanes->forwardSums(job, s.sums.data());
            for (int t = 0; t < count; ++t) {
                const ConvKernel& kernel = *maps[static_cast<size_t>(members[t])].kernel;
                const float* sums =
                    s.sums.data() + static_cast<size_t>(t) * job.blockCount * kWidth;
                if (!take(kernel, sums)) failed = std::min(failed, static_cast<size_t>(members[t]));
            }
        }
    }
    return failed;
}

size_t ConvolutionFast::ForwardByPositions(const std::vector<FeatureMap>& maps, size_t begin,
                                           size_t end) {
    Scratch& s = ThreadScratch();
    GroupByPattern(maps, patternOf, s);
    const size_t blocks = end - begin;
    s.sums.resize(kForwardTile * blocks * kWidth);
    ConvLanes::ForwardJob job;
    job.planes = planes.data();
    job.planeSize = planeSize;
    job.phaseCount = phaseCount;
    job.inputCount = layer.inputCount;
    job.tapPhase = tapPhase.data();
    job.tapOffset = tapOffset.data();
    job.blocks = activeBlocks.data() + begin;
    job.blockCount = static_cast<int>(blocks);
    job.validBits = validBits.data();
    job.interior = interior.data();
    job.windowCount = windowCount;

    return ForwardGroups(maps, s, job, [&](const ConvKernel& kernel, const float* sums) {
        // A NaN anywhere in a running sum leaves the final sum NaN.
        return lanes->activate(
            sums, activeBlocks.data() + begin, static_cast<int>(blocks), activeBits.data(),
            kernel.weights[static_cast<size_t>(kernel.weightCount)], kernel.slope,
            activations.data() + static_cast<size_t>(kernel.index) * laneCapacity);
    });
}

size_t ConvolutionFast::ForwardByGathered(const std::vector<FeatureMap>& maps, int begin, int end) {
    // Gathered blocks per round: their columns (every window position and
    // input) stay in cache while all kernels of the chunk read them.
    constexpr int kSpan = 16;
    Scratch& s = ThreadScratch();
    GroupByPattern(maps, patternOf, s);
    const int n = layer.inputCount;

    // The window positions the chunk's patterns read, in order, and where
    // each one's columns start within a round.
    std::vector<int>& windows = s.windows;
    windows.clear();
    s.columnOffset.assign(static_cast<size_t>(windowCount), 0);
    for (int w = 0; w < windowCount; ++w) {
        bool used = false;
        for (size_t g = 0; g < s.groupFirst.size() && !used; ++g) {
            const std::vector<int>& pattern =
                maps[static_cast<size_t>(s.groupFirst[g])].kernel->pattern;
            used = std::find(pattern.begin(), pattern.end(), w) != pattern.end();
        }
        if (used) windows.push_back(w);
    }
    s.zeros.assign(static_cast<size_t>(windowCount), 0);
    s.identity.resize(kSpan);
    for (int b = 0; b < kSpan; ++b) s.identity[static_cast<size_t>(b)] = b;
    s.sums.resize(static_cast<size_t>(kForwardTile) * kSpan * kWidth);
    s.gathered.resize(static_cast<size_t>(kSpan) * kWidth);

    ConvLanes::GatherJob gather;
    gather.planes = planes.data();
    gather.planeSize = planeSize;
    gather.phaseCount = phaseCount;
    gather.inputCount = n;
    gather.windows = windows.data();
    gather.windowCount = static_cast<int>(windows.size());
    gather.tapPhase = tapPhase.data();
    gather.tapOffset = tapOffset.data();
    if (inputCopy == InputCopy::None) {
        gather.sources = inputRows.data();
        gather.windowShift = windowShift.data();
        gather.validStride = windowCount;
    }

    // The columns read as planes: one phase, input k a round's lanes apart,
    // window position w at its columns.
    ConvLanes::ForwardJob job;
    job.phaseCount = 1;
    job.inputCount = n;
    job.tapPhase = s.zeros.data();
    job.tapOffset = s.columnOffset.data();
    job.blocks = s.identity.data();
    job.windowCount = windowCount;

    size_t failed = maps.size();
    for (int first = begin; first < end; first += kSpan) {
        const int count = std::min(kSpan, end - first);
        const size_t roundLanes = static_cast<size_t>(count) * kWidth;
        gather.lanes = gatherLanes.data() + static_cast<size_t>(first) * kWidth;
        gather.sourceLanes = gatherSources.data() + static_cast<size_t>(first) * kWidth;
        gather.valid = gatherValid.data() + static_cast<size_t>(first) * windowCount;
        gather.blockCount = count;
        // Grown only (a smaller layer's round would zero what a larger one
        // finds again): the gather writes every float the round reads.
        const size_t columnFloats = windows.size() * n * roundLanes;
        if (s.columns.size() < columnFloats) s.columns.resize(columnFloats);
        lanes->gatherColumns(gather, s.columns.data());
        for (size_t i = 0; i < windows.size(); ++i)
            s.columnOffset[static_cast<size_t>(windows[i])] = static_cast<int>(i * n * roundLanes);
        job.planes = s.columns.data();
        job.planeSize = roundLanes;
        job.blockCount = count;
        job.validBits = gatherValid.data() + static_cast<size_t>(first) * windowCount;
        job.interior = gatherInterior.data() + first;
        const std::int32_t* roundLanePositions = gatherLanes.data() + first * kWidth;

        const size_t failedHere =
            ForwardGroups(maps, s, job, [&](const ConvKernel& kernel, const float* sums) {
                const bool done =
                    lanes->activate(sums, s.identity.data(), count, gatherActive.data() + first,
                                    kernel.weights[static_cast<size_t>(kernel.weightCount)],
                                    kernel.slope, s.gathered.data());
                float* saved =
                    activations.data() + static_cast<size_t>(kernel.index) * laneCapacity;
                // Back to the lanes of the active fields only.
                for (size_t i = 0; i < roundLanes; ++i)
                    if ((gatherActive[static_cast<size_t>(first) + i / kWidth] >> (i % kWidth) &
                         1) != 0)
                        saved[roundLanePositions[i]] = s.gathered[i];
                return done;
            });
        failed = std::min(failed, failedHere);
    }
    return failed;
}

int ConvolutionFast::LayOutGroups(const std::vector<FeatureMap>& maps, Scratch& s) const {
    GroupByPattern(maps, patternOf, s);
    const size_t groupCount = s.groupFirst.size();
    s.groupLanes.assign(groupCount, 0);
    s.groupWeights.assign(groupCount, 0);
    size_t weightTotal = 0;
    int laneTotal = 0;
    for (size_t g = 0; g < groupCount; ++g) {
        s.groupLanes[g] = laneTotal;
        s.groupWeights[g] = weightTotal;
        const int laneCount = RoundUpToLanes(s.groupSize[g]);
        const ConvKernel& first = *maps[static_cast<size_t>(s.groupFirst[g])].kernel;
        laneTotal += laneCount;
        weightTotal += static_cast<size_t>(first.weightCount) * laneCount;
    }
    s.weightTotal = weightTotal;
    return laneTotal;
}

ConvolutionFast::WeightCache& ConvolutionFast::CachedWeights(const std::vector<FeatureMap>& maps,
                                                             Scratch& s) {
    // A chunk's copy is found by its first kernel, which no other chunk of
    // the same batch has, so the tasks of a batch never share one. Requires
    // a chunk with at least one map.
    WeightCache& cache = weightCaches[static_cast<size_t>(maps.front().kernel->index)];
    if (CurrentCache(maps) != nullptr && cache.weights.size() == s.weightTotal) return cache;
    cache.members.resize(maps.size());
    for (size_t m = 0; m < maps.size(); ++m) cache.members[m] = maps[m].kernel->index;
    cache.weights.resize(s.weightTotal);
    s.memberWeights.resize(maps.size());
    for (size_t g = 0; g < s.groupFirst.size(); ++g) {
        const int* members = s.order.data() + s.groupStart[g];
        for (int member = 0; member < s.groupSize[g]; ++member)
            s.memberWeights[static_cast<size_t>(s.groupStart[g] + member)] =
                maps[static_cast<size_t>(members[member])].kernel->weights.data();
        lanes->interleave(cache.weights.data() + s.groupWeights[g],
                          s.memberWeights.data() + s.groupStart[g], s.groupSize[g],
                          RoundUpToLanes(s.groupSize[g]),
                          maps[static_cast<size_t>(s.groupFirst[g])].kernel->weightCount);
    }
    cache.version = weightsVersion;
    return cache;
}

void ConvolutionFast::WeightsChanged() { ++weightsVersion; }

void ConvolutionFast::LinesChanged() { knownFromQueue = false; }

ConvolutionFast::WeightCache* ConvolutionFast::CurrentCache(const std::vector<FeatureMap>& maps) {
    WeightCache& cache = weightCaches[static_cast<size_t>(maps.front().kernel->index)];
    bool current = cache.version == weightsVersion && cache.members.size() == maps.size();
    for (size_t m = 0; m < maps.size() && current; ++m)
        current = cache.members[m] == maps[m].kernel->index;
    return current ? &cache : nullptr;
}

size_t ConvolutionFast::ForwardByKernels(const std::vector<FeatureMap>& maps) {
    if (maps.empty()) return 0;
    Scratch& s = ThreadScratch();
    LayOutGroups(maps, s);
    const WeightCache& cache = CachedWeights(maps, s);
    s.entryInputs.resize(static_cast<size_t>(windowCount));
    s.entries.resize(static_cast<size_t>(windowCount));
    size_t failed = maps.size();
    for (size_t g = 0; g < s.groupFirst.size(); ++g) {
        const ConvKernel& first = *maps[static_cast<size_t>(s.groupFirst[g])].kernel;
        const int* members = s.order.data() + s.groupStart[g];
        const int memberCount = s.groupSize[g];
        ConvLanes::GroupJob job;
        job.inputs = s.entryInputs.data();
        job.entries = s.entries.data();
        job.inputCount = layer.inputCount;
        job.inputStride = InputStride();
        job.laneCount = RoundUpToLanes(memberCount);
        s.sums.resize(static_cast<size_t>(job.laneCount));
        // Read only here: the weights do not change during a forward pass.
        job.weights = const_cast<float*>(cache.weights.data()) + s.groupWeights[g];

        for (const ReceptiveField* field : layer.activeFields) {
            job.entryCount =
                FieldEntries(*field, first.pattern, s.entryInputs.data(), s.entries.data());
            lanes->groupRespond(job, s.sums.data());
            const size_t lane = LaneOf(*field);
            for (int member = 0; member < memberCount; ++member) {
                const ConvKernel& kernel = *maps[static_cast<size_t>(members[member])].kernel;
                const float sum = s.sums[static_cast<size_t>(member)];
                if (std::isnan(sum)) {
                    failed = std::min(failed, static_cast<size_t>(members[member]));
                    continue;
                }
                activations[static_cast<size_t>(kernel.index) * laneCapacity + lane] = Activate(
                    kernel.weights[static_cast<size_t>(kernel.weightCount)], sum, kernel.slope);
            }
        }
    }
    return failed;
}

void ConvolutionFast::PrepareErrors(int chunkCount) {
    errorChunks = std::max(1, chunkCount);
    mapWeights.resize(layer.kernels.size());
    // With compact shares, the shares of this pass refer to a copy of the
    // weights as they are now, before the update moves them; each chunk
    // makes the copies of its own kernels.
    float* copy = nullptr;
    if (compactShares) {
        copySlot = TakeWeightCopy();
        copy = weightCopies.data() + static_cast<size_t>(copySlot) * stagedSize;
        sharesHeld = true;
    }
    for (size_t i = 0; i < layer.kernels.size(); ++i)
        mapWeights[i] = copy != nullptr ? copy + stagedStart[i] : layer.kernels[i].weights.data();
    // A field's errors lie side by side for ShareErrors, each chunk's maps
    // in a span of whole cache lines of their own, so that chunks writing at
    // once do not write the same line.
    const int outputs = layer.outputCount;
    const int perChunk = (outputs + errorChunks - 1) / errorChunks;
    const int span = (perChunk + kFloatsPerLine - 1) / kFloatsPerLine * kFloatsPerLine;
    errorRowSize = static_cast<size_t>(span) * errorChunks;
    errorColumn.resize(static_cast<size_t>(outputs));
    for (int i = 0; i < outputs; ++i)
        errorColumn[static_cast<size_t>(i)] = i % errorChunks * span + i / errorChunks;
    fieldErrors.resize(layer.activeFields.size() * errorRowSize);
}

float ConvolutionFast::ChunkErrors(size_t chunk) {
    const size_t chunks = static_cast<size_t>(errorChunks);
    const size_t fieldCount = layer.activeFields.size();
    // Invariant: sum holds the absolute errors of the chunk's earlier maps
    // and fields, in the plain error task's order.
    float sum = 0.0f;
    for (size_t i = chunk; i < static_cast<size_t>(layer.outputCount); i += chunks) {
        if (compactShares) {
            // The copy mapWeights[i] points to.
            const std::vector<float>& weights = layer.kernels[i].weights;
            std::copy(
                weights.begin(), weights.end(),
                weightCopies.data() + static_cast<size_t>(copySlot) * stagedSize + stagedStart[i]);
        }
        const float* targets = layer.outputs[i].image->ptr<float>(0);
        const float* saved = activations.data() + i * laneCapacity;
        float* errors = fieldErrors.data() + errorColumn[i];
        for (size_t f = 0; f < fieldCount; ++f) {
            const float err = targets[activeCells[f]] - saved[activeLanes[f]];
            errors[f * errorRowSize] = err;
            sum = sum + std::fabs(err);
        }
    }
    return sum;
}

void ConvolutionFast::ShareErrors(const std::vector<DepthLine*>& lines) {
    if (layer.stride == 1)
        ShareLines<1>(lines);
    else if (layer.stride == 2)
        ShareLines<2>(lines);
    else
        ShareLines<0>(lines);
}

template <int kStride>
void ConvolutionFast::ShareLines(const std::vector<DepthLine*>& lines) {
    Scratch& s = ThreadScratch();
    const int n = layer.inputCount;
    const int stride = kStride > 0 ? kStride : layer.stride;
    const size_t patternCount = patternEntries.size();
    s.writerField.resize(patternCount);
    s.writerEntry.resize(patternCount);
    s.shareSources.resize(static_cast<size_t>(layer.outputCount));
    s.shareFactors.resize(static_cast<size_t>(layer.outputCount));
    // The lines live apart on the heap: ask for them a few ahead.
    constexpr size_t kAhead = 4;
    for (size_t i = 0; i < std::min(kAhead, lines.size()); ++i) Prefetch(lines[i]);
    for (size_t i = 0; i < lines.size(); ++i) {
        DepthLine* line = lines[i];
        if (i + kAhead < lines.size()) Prefetch(lines[i + kAhead]);
        if (i + 1 < lines.size() && !compactShares) Prefetch(lines[i + 1]->errors.data());
        if (!line->active) continue;
        const size_t index = IndexOf(line);
        const int x = static_cast<int>(index % static_cast<size_t>(layer.inputWidth));
        const int y = static_cast<int>(index / static_cast<size_t>(layer.inputWidth));
        // For each pattern, the last active field (in the plain error task's
        // order) whose pattern reaches this line, and through which entry: the
        // plain task assigns the shares field after field, so that one stays.
        for (size_t p = 0; p < patternCount; ++p) {
            s.writerField[p] = -1;
            for (const PatternEntry& e : patternEntries[p]) {
                const int offsetX = x - e.dx - stride / 2;
                const int offsetY = y - e.dy - stride / 2;
                if (offsetX < 0 || offsetY < 0) continue;
                if (kStride != 1 && (offsetX % stride != 0 || offsetY % stride != 0)) continue;
                const int column = offsetX / stride;
                const int row = offsetY / stride;
                if (column >= layer.outputWidth || row >= layer.outputHeight) continue;
                const int field = row * layer.outputWidth + column;
                const std::int32_t slot = fieldSlot[static_cast<size_t>(field)];
                if (slot < 0) continue;
                s.writerField[p] = slot;
                s.writerEntry[p] = e.entry;
                break;
            }
        }
        // Maps that reach the line this pass overwrite their shares; the
        // others keep what an earlier pass left. The sum takes all of them.
        ShareRef* refs = compactShares
                             ? shareRefs.data() + index * static_cast<size_t>(layer.outputCount)
                             : nullptr;
        for (int i = 0; i < layer.outputCount; ++i) {
            const size_t p = static_cast<size_t>(patternOf[static_cast<size_t>(i)]);
            const bool written = s.writerField[p] >= 0;
            // The error of map i at the writing field: target minus activation.
            const float err =
                written ? fieldErrors[static_cast<size_t>(s.writerField[p]) * errorRowSize +
                                      errorColumn[static_cast<size_t>(i)]]
                        : 0.0f;
            if (refs != nullptr) {
                // Compact: the reference changes; a row that stays is read
                // from the line or recomputed from its pass's copy.
                ShareRef& ref = refs[i];
                if (written) ref = {err, copySlot * kEntrySpan + s.writerEntry[p]};
                s.shareFactors[static_cast<size_t>(i)] = ref.factor;
                s.shareSources[static_cast<size_t>(i)] =
                    ref.source == kHeld ? nullptr : ShareSource(i, ref.source);
                continue;
            }
            s.shareFactors[static_cast<size_t>(i)] = err;
            s.shareSources[static_cast<size_t>(i)] =
                written
                    ? mapWeights[static_cast<size_t>(i)] + static_cast<size_t>(s.writerEntry[p]) * n
                    : nullptr;
        }
        lanes->lineShares(line->errors.data(), lineSums.data() + index * n, s.shareSources.data(),
                          s.shareFactors.data(), layer.outputCount, n, refs == nullptr);
    }
}

void ConvolutionFast::AddRows(const std::vector<DepthLine*>& lines) {
    const int n = layer.inputCount;
    const size_t width = static_cast<size_t>(layer.inputWidth);
    Scratch& s = ThreadScratch();
    // The chunk's active lines as a bitmap of positions, cleared on the way.
    s.positions.assign((layer.depthLines.size() + 63) / 64, 0);
    constexpr size_t kAhead = 8;
    for (size_t i = 0; i < std::min(kAhead, lines.size()); ++i) Prefetch(lines[i]);
    for (size_t i = 0; i < lines.size(); ++i) {
        DepthLine* line = lines[i];
        if (i + kAhead < lines.size()) Prefetch(lines[i + kAhead]);
        if (!line->active) continue;
        line->active = false;
        const size_t index = IndexOf(line);
        s.positions[index / 64] |= std::uint64_t{1} << (index % 64);
    }
    // Then kWidth neighbouring positions at a time (within one row), so
    // that neighbouring cells of the input planes are written together;
    // each cell is its own line's.
    s.rowPointers.resize(static_cast<size_t>(n));
    float** rows = s.rowPointers.data();
    for (size_t word = 0; word < s.positions.size(); ++word) {
        for (size_t group = 0; group < 64; group += kWidth) {
            const std::uint8_t active = static_cast<std::uint8_t>(s.positions[word] >> group);
            if (active == 0) continue;
            const size_t first = word * 64 + group;
            const size_t y = first / width;
            const size_t x = first - y * width;
            if (x + kWidth <= width) {
                for (int k = 0; k < n; ++k)
                    rows[k] = inputRows[static_cast<size_t>(k)] +
                              y * inputSteps[static_cast<size_t>(k)] + x;
                lanes->addRows(rows, lineSums.data() + first * n, n, active);
                continue;
            }
            // Across the end of a row: one position at a time.
            for (int lane = 0; lane < kWidth; ++lane) {
                if ((active >> lane & 1) == 0) continue;
                const size_t index = first + static_cast<size_t>(lane);
                const size_t row = index / width;
                for (int k = 0; k < n; ++k)
                    rows[k] = inputRows[static_cast<size_t>(k)] +
                              row * inputSteps[static_cast<size_t>(k)] + (index - row * width);
                lanes->addRows(rows, lineSums.data() + index * n, n, 1);
            }
        }
    }
}

void ConvolutionFast::AllocateBuffers() {
    if (buffersMade) return;
    buffersMade = true;
    const size_t positions = static_cast<size_t>(layer.inputWidth) * layer.inputHeight;
    planes.assign(static_cast<size_t>(layer.inputCount) * phaseCount * planeSize, 0.0f);
    activations.assign(static_cast<size_t>(layer.outputCount) * laneCapacity, 0.0f);
    packedInputs.assign(positions * packedStride, 0.0f);
    lineSums.assign(positions * static_cast<size_t>(layer.inputCount), 0.0f);
    stagedBias.assign(layer.kernels.size(), 0.0f);
    stagedOutput.assign(layer.kernels.size(), 0.0f);
    if (compactShares) {
        shareRefs.assign(layer.depthLines.size() * static_cast<size_t>(layer.outputCount),
                         ShareRef{});
        weightCopies.assign(static_cast<size_t>(copySlots) * stagedSize, 0.0f);
        copyPass.assign(static_cast<size_t>(copySlots), 0);
    }
}

int ConvolutionFast::TakeWeightCopy() {
    int slot = 0;
    while (slot < copySlots && copyPass[static_cast<size_t>(slot)] != 0) ++slot;
    if (slot == copySlots) {
        // None free: the rows of the older half of the copies are written
        // out, which frees them; the newer half stays in use.
        std::vector<std::uint64_t> passes(copyPass);
        std::nth_element(passes.begin(), passes.begin() + copySlots / 2, passes.end());
        const std::uint64_t newest = passes[copySlots / 2];
        std::vector<bool> older(static_cast<size_t>(copySlots), false);
        for (int i = 0; i < copySlots; ++i) older[i] = copyPass[i] < newest;
        WriteOutShares(older);
        slot = copySlots;
        for (int i = copySlots - 1; i >= 0; --i) {
            if (!older[i]) continue;
            copyPass[static_cast<size_t>(i)] = 0;
            slot = i;
        }
    }
    copyPass[static_cast<size_t>(slot)] = ++sharePasses;
    return slot;
}

const float* ConvolutionFast::ShareSource(int output, std::int32_t source) const {
    return weightCopies.data() + static_cast<size_t>(source / kEntrySpan) * stagedSize +
           stagedStart[static_cast<size_t>(output)] +
           static_cast<size_t>(source % kEntrySpan) * static_cast<size_t>(layer.inputCount);
}

void ConvolutionFast::WriteOutShares(const std::vector<bool>& slots) {
    const int n = layer.inputCount;
    const int outputs = layer.outputCount;
    for (size_t position = 0; position < layer.depthLines.size(); ++position) {
        ShareRef* refs = shareRefs.data() + position * static_cast<size_t>(outputs);
        for (int i = 0; i < outputs; ++i) {
            ShareRef& ref = refs[i];
            if (ref.source == kHeld || !slots[static_cast<size_t>(ref.source / kEntrySpan)])
                continue;
            // The product the plain error task wrote: err * weight.
            const float* source = ShareSource(i, ref.source);
            float* row = layer.depthLines[position]->ErrorRow(i);
            for (int k = 0; k < n; ++k) row[k] = ref.factor * source[k];
            ref.source = kHeld;
        }
    }
}

void ConvolutionFast::SyncErrorShares() {
    if (!sharesHeld) return;
    WriteOutShares(std::vector<bool>(static_cast<size_t>(copySlots), true));
    std::fill(copyPass.begin(), copyPass.end(), 0);
    sharesHeld = false;
}

std::vector<float> ConvolutionFast::ErrorSharesAt(size_t position) const {
    const DepthLine& line = *layer.depthLines[position];
    std::vector<float> rows(line.errors);
    if (!sharesHeld) return rows;
    const int n = layer.inputCount;
    for (int i = 0; i < layer.outputCount; ++i) {
        const ShareRef& ref =
            shareRefs[position * static_cast<size_t>(layer.outputCount) + static_cast<size_t>(i)];
        if (ref.source == kHeld) continue;
        const float* source = ShareSource(i, ref.source);
        for (int k = 0; k < n; ++k)
            rows[static_cast<size_t>(i) * n + static_cast<size_t>(k)] = ref.factor * source[k];
    }
    return rows;
}

void ConvolutionFast::PrepareUpdate() {
    AllocateBuffers();
    // Fresh activations mean the inputs have not changed since that
    // Forward, so its copy serves; otherwise the plain planes are copied,
    // unless they lie one after another in one block: then they are read
    // where they are.
    if (!activationsFresh || inputCopy == InputCopy::None) {
        if (planesInOneBlock) {
            inputCopy = InputCopy::Planes;
            return;
        }
        PadInputs();
        inputCopy = InputCopy::Padded;
    }
}

bool ConvolutionFast::Update(const std::vector<FeatureMap>& maps, bool stage) {
    if (maps.empty()) return true;
    Scratch& s = ThreadScratch();
    const int n = layer.inputCount;
    const int outWidth = layer.outputWidth;

    // Kernels with equal patterns share a group and run side by side.
    const int laneTotal = LayOutGroups(maps, s);
    const size_t groupCount = s.groupFirst.size();
    WeightCache& cache = CachedWeights(maps, s);
    // Until the new weights are handed back below, the copy is not theirs.
    cache.version = 0;
    for (std::vector<float>* laneValues : {&s.bias, &s.rate, &s.slope, &s.output, &s.steps})
        laneValues->assign(static_cast<size_t>(laneTotal), 0.0f);
    s.targets.assign(static_cast<size_t>(laneTotal), nullptr);
    s.memberWeights.resize(maps.size());
    for (size_t g = 0; g < groupCount; ++g) {
        const int* members = s.order.data() + s.groupStart[g];
        for (int member = 0; member < s.groupSize[g]; ++member) {
            const FeatureMap& map = maps[static_cast<size_t>(members[member])];
            ConvKernel& kernel = *map.kernel;
            s.memberWeights[static_cast<size_t>(s.groupStart[g] + member)] = kernel.weights.data();
            const size_t lane = static_cast<size_t>(s.groupLanes[g] + member);
            s.bias[lane] = kernel.weights[static_cast<size_t>(kernel.weightCount)];
            s.rate[lane] = kernel.rate;
            s.slope[lane] = kernel.slope;
            s.output[lane] = kernel.output;
            s.targets[lane] = map.image->ptr<float>(0);
        }
    }

    // Groups of one vector go in bundles, so that their sums advance
    // together instead of each waiting for its previous add.
    constexpr int kBundle = ConvLanes::kBundle;
    // Bundle i is the groups bundled[bundleEnd[i - 1] .. bundleEnd[i]): a
    // group of several vectors alone, or up to kBundle one-vector groups.
    s.bundled.clear();
    s.bundleEnd.clear();
    for (size_t g = 0; g < groupCount; ++g) {
        if (RoundUpToLanes(s.groupSize[g]) == kWidth) continue;
        s.bundled.push_back(static_cast<int>(g));
        s.bundleEnd.push_back(static_cast<int>(s.bundled.size()));
    }
    int open = 0;
    for (size_t g = 0; g < groupCount; ++g) {
        if (RoundUpToLanes(s.groupSize[g]) != kWidth) continue;
        s.bundled.push_back(static_cast<int>(g));
        if (++open < kBundle) continue;
        s.bundleEnd.push_back(static_cast<int>(s.bundled.size()));
        open = 0;
    }
    if (open > 0) s.bundleEnd.push_back(static_cast<int>(s.bundled.size()));

    // Two sets of entry lists per group: the current field's and the next's.
    const size_t entrySpace = static_cast<size_t>(windowCount);
    s.entryInputs.resize(2 * entrySpace * kBundle);
    s.entries.resize(2 * entrySpace * kBundle);
    int widest = kBundle * kWidth;
    for (size_t g = 0; g < groupCount; ++g)
        widest = std::max(widest, RoundUpToLanes(s.groupSize[g]));
    s.sums.resize(static_cast<size_t>(widest));
    const std::vector<ReceptiveField*>& fields = layer.activeFields;
    for (size_t i = 0; i < s.bundleEnd.size() && !fields.empty(); ++i) {
        const int* bundle = s.bundled.data() + (i == 0 ? 0 : s.bundleEnd[i - 1]);
        const int count = s.bundleEnd[i] - (i == 0 ? 0 : s.bundleEnd[i - 1]);
        ConvLanes::GroupJob jobs[kBundle];
        const std::vector<int>* patterns[kBundle];
        // Lists the entries of field `f` for every group into entry set `set`.
        const auto listEntries = [&](const ReceptiveField& field, int set) {
            for (int b = 0; b < count; ++b) {
                const size_t at = (static_cast<size_t>(set) * kBundle + b) * entrySpace;
                jobs[b].entryCount = FieldEntries(field, *patterns[b], s.entryInputs.data() + at,
                                                  s.entries.data() + at);
                jobs[b].inputs = s.entryInputs.data() + at;
                jobs[b].entries = s.entries.data() + at;
            }
        };
        for (int b = 0; b < count; ++b) {
            const size_t g = static_cast<size_t>(bundle[b]);
            patterns[b] = &maps[static_cast<size_t>(s.groupFirst[g])].kernel->pattern;
            jobs[b].inputCount = n;
            jobs[b].inputStride = InputStride();
            jobs[b].weights = cache.weights.data() + s.groupWeights[g];
            jobs[b].laneCount = RoundUpToLanes(s.groupSize[g]);
            jobs[b].steps = s.steps.data() + s.groupLanes[g];
        }
        const bool wide = jobs[0].laneCount > kWidth;
        // Every field's sums: for one wide group lane by lane, for a bundle
        // eight lanes per group.
        float* sums = s.sums.data();

        listEntries(*fields[0], 0);
        if (wide)
            lanes->groupRespond(jobs[0], sums);
        else
            lanes->bundleRespond(jobs, count, sums);
        // Positions in order: each one's response uses the weights that the
        // positions before it have left, as in the plain online update.
        for (size_t f = 0; f < fields.size(); ++f) {
            const ReceptiveField& field = *fields[f];
            const int cell = field.row * outWidth + field.column;
            bool whole = true;  // every group reads its whole pattern here
            for (int b = 0; b < count; ++b) {
                const size_t g = static_cast<size_t>(bundle[b]);
                whole = whole && jobs[b].entryCount == static_cast<int>(patterns[b]->size());
                for (int member = 0; member < s.groupSize[g]; ++member) {
                    const size_t lane = static_cast<size_t>(s.groupLanes[g] + member);
                    const float sum = sums[b * kWidth + member];
                    if (std::isnan(sum)) return false;
                    const float value = Activate(s.bias[lane], sum, s.slope[lane]);
                    const float err = s.targets[lane][cell] - value;
                    const float d = value <= 0.0f ? s.slope[lane] : 0.999f;
                    const float step = (err * s.rate[lane]) * d;
                    s.steps[lane] = step;
                    s.bias[lane] = step + s.bias[lane];
                    s.output[lane] = value;
                }
            }
            if (f + 1 == fields.size()) {
                lanes->bundleUpdate(jobs, count, false, sums);
                break;
            }
            // The next field's entries go to the other set; when both fields
            // read whole patterns, the step and the next response share one
            // sweep over the weights.
            const int set = static_cast<int>((f + 1) % 2);
            ConvLanes::GroupJob current[kBundle];
            std::copy(jobs, jobs + count, current);
            listEntries(*fields[f + 1], set);
            for (int b = 0; b < count; ++b)
                whole = whole && jobs[b].entryCount == static_cast<int>(patterns[b]->size());
            if (whole) {
                for (int b = 0; b < count; ++b) current[b].nextInputs = jobs[b].inputs;
                lanes->bundleUpdate(current, count, true, sums);
                continue;
            }
            lanes->bundleUpdate(current, count, false, sums);
            if (wide)
                lanes->groupRespond(jobs[0], sums);
            else
                lanes->bundleRespond(jobs, count, sums);
        }

        // A weight that went NaN or infinite stays so (inf + x is inf or
        // NaN), so checking at the end catches every step that would throw.
        for (int b = 0; b < count; ++b) {
            const size_t g = static_cast<size_t>(bundle[b]);
            const ConvKernel& first = *maps[static_cast<size_t>(s.groupFirst[g])].kernel;
            if (!lanes->allFinite(jobs[b].weights, s.groupSize[g], jobs[b].laneCount,
                                  first.weightCount))
                return false;
        }
    }

    for (size_t g = 0; g < groupCount; ++g) {
        const ConvKernel& first = *maps[static_cast<size_t>(s.groupFirst[g])].kernel;
        const int* members = s.order.data() + s.groupStart[g];
        if (!stage)
            lanes->deinterleave(s.memberWeights.data() + s.groupStart[g],
                                cache.weights.data() + s.groupWeights[g], s.groupSize[g],
                                RoundUpToLanes(s.groupSize[g]), first.weightCount);
        for (int member = 0; member < s.groupSize[g]; ++member) {
            ConvKernel& kernel = *maps[static_cast<size_t>(members[member])].kernel;
            const size_t lane = static_cast<size_t>(s.groupLanes[g] + member);
            if (stage) {
                stagedBias[static_cast<size_t>(kernel.index)] = s.bias[lane];
                stagedOutput[static_cast<size_t>(kernel.index)] = s.output[lane];
                continue;
            }
            kernel.weights[static_cast<size_t>(kernel.weightCount)] = s.bias[lane];
            kernel.output = s.output[lane];
        }
    }
    // The interleaved copy holds the new weights, which the kernels now
    // hold too, or will once CommitStaged copies them out of it; until then
    // nothing but CommitStaged or WeightsChanged may come.
    cache.version = weightsVersion;
    return true;
}

void ConvolutionFast::CommitStaged(const std::vector<FeatureMap>& maps) {
    if (maps.empty()) return;
    Scratch& s = ThreadScratch();
    LayOutGroups(maps, s);
    // The staged weights are in the chunk's interleaved copy, which only
    // this chunk's Update has written since.
    WeightCache* cache = CurrentCache(maps);
    if (cache == nullptr) throw "Convolution: staged weights lost";
    s.memberWeights.resize(maps.size());
    for (size_t g = 0; g < s.groupFirst.size(); ++g) {
        const int* members = s.order.data() + s.groupStart[g];
        for (int member = 0; member < s.groupSize[g]; ++member) {
            ConvKernel& kernel = *maps[static_cast<size_t>(members[member])].kernel;
            s.memberWeights[static_cast<size_t>(s.groupStart[g] + member)] = kernel.weights.data();
            const size_t index = static_cast<size_t>(kernel.index);
            kernel.weights[static_cast<size_t>(kernel.weightCount)] = stagedBias[index];
            kernel.output = stagedOutput[index];
        }
        lanes->deinterleave(s.memberWeights.data() + s.groupStart[g],
                            cache->weights.data() + s.groupWeights[g], s.groupSize[g],
                            RoundUpToLanes(s.groupSize[g]),
                            maps[static_cast<size_t>(s.groupFirst[g])].kernel->weightCount);
    }
}

void ConvolutionFast::DepthLines(const std::vector<DepthLine*>& lines) {
    const int n = layer.inputCount;
    Scratch& s = ThreadScratch();
    std::vector<float>& row = s.row;
    row.resize(static_cast<size_t>(n));
    // No map writes shares here: the lines are only summed.
    s.shareSources.assign(static_cast<size_t>(layer.outputCount), nullptr);
    s.shareFactors.assign(static_cast<size_t>(layer.outputCount), 0.0f);
    for (DepthLine* line : lines) {
        if (!line->active) continue;
        line->active = false;
        lanes->lineShares(line->errors.data(), row.data(), s.shareSources.data(),
                          s.shareFactors.data(), layer.outputCount, n, false);
        for (int k = 0; k < n; ++k) {
            float& value = *line->inputs[static_cast<size_t>(k)];
            value = value + row[static_cast<size_t>(k)];
            if (value > 1.0f) value = 1.0f;
            if (value < 0.0f) value = 0.0f;
        }
    }
}

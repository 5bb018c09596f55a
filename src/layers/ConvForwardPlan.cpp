#include "layers/ConvForwardPlan.h"

#include <algorithm>
#include <cmath>

#include "common/Bits.h"

namespace {
constexpr int kWidth = ConvLanes::kWidth;
}  // namespace

void ConvForwardPlan::Configure(const ConvFastLayout& layout) {
    activeBits.assign(static_cast<size_t>(layout.blockCount), 0);
    activeBlocks.reserve(static_cast<size_t>(layout.blockCount));
    fieldSlot.assign(layout.cellCount, -1);
}

void ConvForwardPlan::Release() {
    activeBits.clear();
    activeBlocks.clear();
    fieldSlot.clear();
}

void ConvForwardPlan::Make(int chunkCount, const ConvGeometry& geometry,
                           const ConvFastLayout& layout, ActiveFields& active) {
    std::fill(activeBits.begin(), activeBits.end(), 0);
    std::fill(fieldSlot.begin(), fieldSlot.end(), -1);
    // The fast selection lists the cells and lanes as it chooses the fields;
    // fields chosen any other way are listed from their records.
    const std::vector<ReceptiveField*>& fieldList = active.fields;
    if (!active.Listed()) {
        active.cells.resize(fieldList.size());
        active.lanes.resize(fieldList.size());
        for (size_t f = 0; f < fieldList.size(); ++f) {
            active.cells[f] = layout.CellOf(*fieldList[f]);
            active.lanes[f] = layout.LaneOf(*fieldList[f]);
        }
    }
    for (size_t f = 0; f < fieldList.size(); ++f) {
        fieldSlot[active.cells[f]] = static_cast<std::int32_t>(f);
        const size_t lane = active.lanes[f];
        activeBits[lane / kWidth] |= static_cast<std::uint8_t>(1u << (lane % kWidth));
    }
    activeBlocks.clear();
    int maskedBlocks = 0;
    for (int block = 0; block < layout.blockCount; ++block) {
        if (activeBits[block] == 0) continue;
        activeBlocks.push_back(block);
        maskedBlocks += layout.interior[block] == 0 ? 1 : 0;
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
    const double fields = static_cast<double>(fieldList.size());
    const double masking = 1.0 + 0.5 * maskedShare;
    double compute = 0.0;  // one block of every kernel, all chunks
    double byKernels = 0.0;
    const int chunks = std::max(1, chunkCount);
    thread_local std::vector<int> members;
    for (int chunk = 0; chunk < chunks; ++chunk) {
        members.assign(layout.patternEntries.size(), 0);
        for (int i = chunk; i < geometry.outputCount; i += chunks)
            ++members[static_cast<size_t>(layout.patternOf[static_cast<size_t>(i)])];
        for (size_t p = 0; p < layout.patternEntries.size(); ++p) {
            const double steps =
                static_cast<double>(layout.patternEntries[p].size()) * geometry.inputCount;
            const double vectors =
                static_cast<double>(ConvFastLayout::RoundUpToLanes(members[p]) / kWidth);
            compute += steps * members[p] * 0.5 * masking;
            byKernels += steps * (fields * std::max(4.0, 0.5 * vectors) + 3.0 * vectors);
        }
    }
    // Each chunk copies the columns of its blocks: a plain load and store
    // per vector for a run's neighbours, a gather for packed fields.
    const double columns = static_cast<double>(chunks) * layout.windowCount * geometry.inputCount;
    const double copy = 0.5 * columns;
    const double gather = 3.0 * columns;
    const double byPositions = compute * blocks;
    // A run of r fields is worth a block of its own when r packed lanes
    // would cost as much.
    const int minimumRun =
        std::min(kWidth, std::max(1, static_cast<int>(std::ceil(kWidth * (compute + copy) /
                                                                std::max(1.0, compute + gather)))));
    bandFields.assign({0, fieldList.size()});
    PlanGathered(minimumRun, layout, active);
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
    // workers, where the estimate above favoured the gathered blocks up to
    // threefold).
    if (chunks >= 2 && fields > 0 && gatherBlocks <= chunks) forwardLayout = Layout::Kernels;

    // Bands of rows hold whole blocks, so a few blocks split unevenly (one
    // block leaves a worker idle); splitting the kernels instead makes every
    // chunk copy the columns of all blocks for itself. Take the split whose
    // busiest chunk has less to do. Chunk c must hold map c.
    const bool gathered = forwardLayout == Layout::GatheredPositions;
    const double splitBlocks = gathered ? static_cast<double>(gatherBlocks) : blocks;
    const double blockCopy = gathered ? (copy + gather) / (2.0 * chunks) : 0.0;
    const double busiestByBlocks = std::ceil(splitBlocks / chunks) * (compute + blockCopy);
    const double busiestByKernels = splitBlocks * (compute / chunks + blockCopy);
    splitByBlocks = chunks >= 2 && forwardLayout != Layout::Kernels &&
                    busiestByBlocks <= busiestByKernels && geometry.outputCount >= chunks;
    PlanBands(splitByBlocks ? chunks : 1, compute * masking, compute + copy,
              (compute + gather) / kWidth, geometry, layout, active);
    if (splitByBlocks && gathered) PlanGathered(minimumRun, layout, active);
}

void ConvForwardPlan::PlanGathered(int minimumRun, const ConvFastLayout& layout,
                                   const ActiveFields& active) {
    // Band by band: runs of at least minimumRun active fields among eight
    // neighbouring lanes keep their neighbours as one block (read with plain
    // loads); the band's other fields are packed eight to a block, after its
    // blocks of runs.
    const int laneLimit = layout.blockCount * kWidth;
    const std::vector<size_t>& activeLanes = active.lanes;
    thread_local std::vector<std::int32_t> sparse;
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
            std::uint8_t activeLaneBits = 0;
            for (; i < end; ++i)
                activeLaneBits |= static_cast<std::uint8_t>(1u << (activeLanes[i] - start));
            for (int l = 0; l < kWidth; ++l) gatherLanes.push_back(start + l);
            gatherActive.push_back(activeLaneBits);
        }
        for (size_t i = 0; i < sparse.size(); i += kWidth) {
            std::uint8_t activeLaneBits = 0;
            for (size_t l = 0; l < static_cast<size_t>(kWidth); ++l) {
                // Padding: the last field again, computed and dropped.
                const bool real = i + l < sparse.size();
                gatherLanes.push_back(real ? sparse[i + l] : sparse.back());
                if (real) activeLaneBits |= static_cast<std::uint8_t>(1u << l);
            }
            gatherActive.push_back(activeLaneBits);
        }
        packedBlocks += static_cast<int>((sparse.size() + kWidth - 1) / kWidth);
        bandBlocks[band + 1] = static_cast<int>(gatherActive.size());
    }
    gatherBlocks = static_cast<int>(gatherActive.size());
}

void ConvForwardPlan::PlanBands(int bands, double blockCost, double runCost, double packedLaneCost,
                                const ConvGeometry& geometry, const ConvFastLayout& layout,
                                const ActiveFields& active) {
    const int height = geometry.outputHeight;
    const int phaseWidth = layout.phaseWidth;
    const size_t count = static_cast<size_t>(bands);
    bandRows.assign(count + 1, height);
    bandRows[0] = 0;
    if (bands > 1) {
        // The estimated work of each output row, from the plan of one band.
        thread_local std::vector<double> rowCost;
        rowCost.assign(static_cast<size_t>(height), 0.0);
        const auto rowOf = [phaseWidth, height](std::int64_t lane) {
            return static_cast<size_t>(std::min<std::int64_t>(height - 1, lane / phaseWidth));
        };
        if (forwardLayout == Layout::GatheredPositions) {
            const int runBlocks = gatherBlocks - packedBlocks;
            for (int block = 0; block < gatherBlocks; ++block) {
                const std::int32_t* lanes =
                    gatherLanes.data() + static_cast<size_t>(block) * kWidth;
                const std::uint8_t activeLaneBits = gatherActive[static_cast<size_t>(block)];
                if (block < runBlocks) {
                    rowCost[rowOf(lanes[LowestSetBit(activeLaneBits)])] += runCost;
                    continue;
                }
                for (int l = 0; l < kWidth; ++l)
                    if ((activeLaneBits >> l & 1) != 0) rowCost[rowOf(lanes[l])] += packedLaneCost;
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
    const std::vector<ReceptiveField*>& fields = active.fields;
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
                                              [this, phaseWidth](int block, int r) {
                                                  return FirstActiveLane(block) / phaseWidth < r;
                                              }) -
                             activeBlocks.begin());
    }
}

std::int64_t ConvForwardPlan::FirstActiveLane(int block) const {
    return static_cast<std::int64_t>(block) * kWidth +
           LowestSetBit(activeBits[static_cast<size_t>(block)]);
}

void ConvForwardPlan::MarkGatheredWindows(const ConvGeometry& geometry,
                                          const ConvFastLayout& layout, int rowStep) {
    const int windowCount = layout.windowCount;
    gatherValid.assign(static_cast<size_t>(gatherBlocks) * windowCount, 0);
    gatherInterior.assign(static_cast<size_t>(gatherBlocks), 1);
    gatherSources.resize(gatherLanes.size());
    const int s = geometry.stride;
    for (size_t i = 0; i < gatherLanes.size(); ++i) {
        // The centre of the lane's field in the input planes.
        const int row = gatherLanes[i] / layout.phaseWidth;
        const int column = gatherLanes[i] % layout.phaseWidth;
        gatherSources[i] = (s * row + s / 2) * rowStep + s * column + s / 2;
    }
    for (size_t block = 0; block < static_cast<size_t>(gatherBlocks); ++block) {
        std::uint8_t* valid = gatherValid.data() + block * windowCount;
        const std::int32_t* lanes = gatherLanes.data() + block * kWidth;
        const auto whole = [&layout](std::int32_t lane) {
            return (layout.wholeWindows[static_cast<size_t>(lane / kWidth)] >> (lane % kWidth) &
                    1) != 0;
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
                layout.validBits.data() + static_cast<size_t>(lane / kWidth) * windowCount;
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

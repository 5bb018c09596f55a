#include "layers/ConvolutionFast.h"

#include <algorithm>
#include <atomic>

#include "layers/ActiveLineSweep.h"
#include "layers/ConvReference.h"
#include "parallel/ChunkBarrier.h"

namespace {

// A chunk of reordered maps without the empty records that pad it.
std::vector<FeatureMap> WithoutPadding(std::vector<FeatureMap> maps) {
    maps.erase(std::remove_if(maps.begin(), maps.end(),
                              [](const FeatureMap& map) { return map.kernel == nullptr; }),
               maps.end());
    return maps;
}

// Which chunk of a round-robin split of the layer's output maps this is:
// chunk c holds map c first.
size_t ChunkOf(const std::vector<FeatureMap>& chunk) {
    return chunk.empty() ? 0 : static_cast<size_t>(chunk.front().kernel->Index());
}

}  // namespace

void ConvolutionFast::Configure(const Parts& parts) {
    const ConvGeometry& geometry = parts.geometry;
    buffersMade = false;
    activationsFresh = false;
    layout = ConvFastLayout::Make(geometry, parts.kernels, parts.fields);
    selection.Reset();
    if (!layout.usable) return;
    compact.Configure(geometry, layout, parts.lines.size());
    weightCache.Configure(parts.kernels.size());
    balance.Reset();
    plan.Configure(layout);
    copies.Configure(geometry.inputCount);
}

void ConvolutionFast::Release() {
    activationsFresh = false;
    buffersMade = false;
    layout = ConvFastLayout{};
    compact.Release();
    copies.Release();
    forward.Release();
    errors.Release();
    update.Release();
    selection.Reset();
    plan.Release();
    balance.Reset();
    weightCache.Release();
}

void ConvolutionFast::AllocateBuffers(const Parts& parts) {
    if (buffersMade) return;
    buffersMade = true;
    copies.Allocate(parts.geometry, layout);
    forward.Allocate(parts.kernels.size(), layout);
    errors.Allocate(parts.geometry);
    update.Allocate(parts.kernels.size());
    compact.Allocate(parts.lines.size());
}

void ConvolutionFast::Link(const FeatureMaps& inputs, const ConvGeometry& geometry) {
    if (layout.usable) copies.Link(inputs, layout, geometry.inputHeight);
}

bool ConvolutionFast::LinkedTo(const FeatureMaps& inputs) const {
    return layout.usable && copies.LinkedTo(inputs);
}

void ConvolutionFast::SelectFields(const cv::Mat& resizedMask, float threshold,
                                   const Parts& parts) {
    selection.Select(resizedMask, threshold, parts.geometry, layout, parts.fields,
                     parts.lines.data(), parts.geometry.entryLayer ? nullptr : &parts.queue,
                     parts.active);
}

ConvStepInputs ConvolutionFast::StepInputs(const ConvLanes& lanes, const Parts& parts) const {
    ConvStepInputs in;
    in.lanes = &lanes;
    in.geometry = &parts.geometry;
    in.layout = &layout;
    in.active = &parts.active;
    return in;
}

ConvForwardLanes::Inputs ConvolutionFast::PrepareForward(int chunkCount, const ConvLanes& lanes,
                                                         const Parts& parts) {
    const ConvGeometry& geometry = parts.geometry;
    AllocateBuffers(parts);
    plan.Make(chunkCount, geometry, layout, parts.active);
    const ConvForwardPlan::Layout chosen = plan.ForwardLayout();
    const int rowStep = copies.Steps().empty() ? 0 : static_cast<int>(copies.Steps().front());
    if (chosen == ConvForwardPlan::Layout::Kernels) {
        forwardCopy = copies.Packed(lanes, geometry, layout);
    } else if (chosen == ConvForwardPlan::Layout::GatheredPositions && copies.GatherFromPlanes()) {
        // No copy: the columns are gathered from the planes themselves (the
        // update makes its copy when it needs one).
        plan.MarkGatheredWindows(geometry, layout, rowStep);
        forwardCopy = ConvInputCopies::Copy{};
    } else {
        forwardCopy = copies.Padded(geometry, layout);
        if (chosen == ConvForwardPlan::Layout::GatheredPositions)
            plan.MarkGatheredWindows(geometry, layout, rowStep);
    }
    ConvForwardLanes::Inputs in;
    static_cast<ConvStepInputs&>(in) = StepInputs(lanes, parts);
    in.plan = &plan;
    in.copy = forwardCopy;
    in.planes = &copies;
    in.cache = &weightCache;
    return in;
}

void ConvolutionFast::Forward(const ConvLanes& lanes, const Parts& parts) {
    TaskPool<FeatureMap, float>& pool = parts.pools.mapTaskPool;
    const int chunkCount = pool.ThreadCount();
    const ConvForwardLanes::Inputs in = PrepareForward(chunkCount, lanes, parts);
    const auto plainForward = [&parts](std::vector<FeatureMap> chunk) {
        return ReferenceForward(chunk, parts.active.fields, parts.kernels);
    };
    const bool byBlocks = plan.SplitsByBlocks(chunkCount);
    if (byBlocks || balance.Balance(chunkCount, layout, parts.outputs)) {
        // Bands of rows, or reordered chunks of maps: every chunk computes its
        // activations, and writes its band or its maps' planes only once no
        // chunk met a NaN (a band's fields may lie in another chunk's
        // blocks), so that a failure can be left to the reference.
        const std::vector<FeatureMap>& items = byBlocks ? parts.outputs : balance.Items();
        ChunkBarrier computed(chunkCount);
        const std::vector<float> failures =
            pool.RunSharing(items, [&, byBlocks](std::vector<FeatureMap> chunk) {
                const std::vector<FeatureMap> maps = WithoutPadding(std::move(chunk));
                const size_t band = ChunkOf(maps);
                ChunkBarrier::Arrival arrival(computed);
                const bool done = byBlocks ? forward.ComputeBand(in, parts.outputs, band)
                                           : forward.Compute(in, maps) == maps.size();
                if (!arrival.ReportAndWait(done)) return std::vector<float>{1.0f};
                if (byBlocks)
                    forward.WriteRows(in, parts.outputs, parts.kernels, plan.BandRows()[band],
                                      plan.BandRows()[band + 1], plan.BandFields()[band],
                                      plan.BandFields()[band + 1]);
                else
                    forward.WriteOutputs(in, maps, parts.kernels);
                return std::vector<float>{};
            });
        if (failures.empty()) {
            activationsFresh = true;
        } else {
            // Nothing is written yet: the reference does the whole pass on
            // its own chunks, and fails as it does.
            pool.RunSharing(parts.outputs, plainForward);
        }
        return;
    }
    pool.RunSharing(parts.outputs, [&](std::vector<FeatureMap> chunk) {
        // The activations go to the saved store first; the output planes
        // are written only for the maps the reference would complete.
        const size_t failed = forward.Compute(in, chunk);
        const auto done = chunk.begin() + static_cast<std::ptrdiff_t>(failed);
        forward.WriteOutputs(in, std::vector<FeatureMap>(chunk.begin(), done), parts.kernels);
        if (failed == chunk.size()) return std::vector<float>{};
        // A sum that is not a number: the reference redoes the rest of the
        // chunk, so the failure and what it leaves behind are its own.
        chunk.erase(chunk.begin(), done);
        return plainForward(std::move(chunk));
    });
    // Reached only when every task finished: RunSharing throws otherwise.
    activationsFresh = true;
}

ConvUpdateLanes::Inputs ConvolutionFast::PrepareUpdate(const ConvLanes& lanes, const Parts& parts) {
    AllocateBuffers(parts);
    ConvUpdateLanes::Inputs in;
    static_cast<ConvStepInputs&>(in) = StepInputs(lanes, parts);
    // Fresh activations mean the inputs have not changed since that
    // Forward, so its copy serves; otherwise the plain planes are copied,
    // unless they lie one after another in one block: then they are read
    // where they are.
    if (!activationsFresh || forwardCopy.kind == ConvInputCopies::Copy::Kind::None)
        in.copy = copies.InOneBlock() ? copies.InPlace() : copies.Padded(parts.geometry, layout);
    else
        in.copy = forwardCopy;
    in.cache = &weightCache;
    return in;
}

ConvErrorShares::Inputs ConvolutionFast::ErrorInputs(const ConvLanes& lanes,
                                                     const Parts& parts) const {
    ConvErrorShares::Inputs in;
    static_cast<ConvStepInputs&>(in) = StepInputs(lanes, parts);
    in.fieldSlots = &plan.FieldSlots();
    in.activations = forward.Activations().data();
    in.laneCapacity = forward.LaneCapacity();
    in.lines = parts.lines.data();
    return in;
}

void ConvolutionFast::Backward(const ConvLanes& lanes, const Parts& parts, float& errorTotal) {
    const ConvGeometry& geometry = parts.geometry;
    LayerPools& pools = parts.pools;
    // The saved activations are those the error task would recompute: the
    // inputs and weights are still the last Forward's. After this pass they
    // are not.
    const bool reuseActivations = activationsFresh;
    // Every other way reads or writes the lines' rows themselves.
    if (!reuseActivations) compact.Sync(parts.lines.data());
    const auto plainUpdate = [&parts](std::vector<FeatureMap> chunk) {
        return ReferenceUpdate(chunk, parts.active.fields, parts.kernels);
    };
    const auto dealt = [&] {
        return lineSums.Deal(parts.queue, pools.depthLinePool.ThreadCount(), parts.lines.data(),
                             parts.lines.size());
    };
    if (geometry.entryLayer || reuseActivations) {
        if (FusedBackward(lanes, parts, !geometry.entryLayer && reuseActivations, errorTotal))
            return;
        // A staged update met a non-finite value, and nothing has changed
        // since the shares: the reference updates on its own chunks, and
        // fails as it does; then the lines take their sums.
        weightCache.Invalidate();
        pools.mapPointerPool.RunSharing(parts.outputs, plainUpdate);
        if (geometry.entryLayer) return;
        ActiveLineSweep sweep(parts.queue);
        pools.depthLinePool.RunSharing(dealt(), [&](std::vector<DepthLine*> chunk) {
            lineSums.AddSums(lanes, geometry, chunk, parts.lines.data(), errors.Sums().data(),
                             copies.Rows(), copies.Steps());
            return std::vector<float>{};
        });
        return;
    }

    // The plain error task (the saved activations are stale), then the fast
    // update and the lines' sums.
    errorTotal = TotalInChunkOrder(
        pools.errorSumPool.RunSharing(parts.outputs, [&parts](std::vector<FeatureMap> chunk) {
            return ReferenceErrors(chunk, parts.active.fields, parts.kernels);
        }));
    // The update and the lines' sums change what the saved activations came from.
    activationsFresh = false;
    const ConvUpdateLanes::Inputs in = PrepareUpdate(lanes, parts);
    pools.mapPointerPool.RunSharing(parts.outputs, [&](std::vector<FeatureMap> chunk) {
        // On a non-finite value the fast update has changed nothing, and
        // the reference takes the chunk from the start.
        if (update.Update(in, chunk, parts.kernels, false)) return std::vector<FeatureMap*>{};
        return plainUpdate(std::move(chunk));
    });
    ActiveLineSweep sweep(parts.queue);
    pools.depthLinePool.RunSharing(dealt(), [&](std::vector<DepthLine*> chunk) {
        lineSums.SumRows(lanes, geometry, chunk);
        return std::vector<float>{};
    });
}

bool ConvolutionFast::FusedBackward(const ConvLanes& lanes, const Parts& parts, bool shareErrors,
                                    float& errorTotal) {
    LayerPools& pools = parts.pools;
    const int chunkCount = pools.depthLinePool.ThreadCount();
    const size_t chunks = static_cast<size_t>(chunkCount);
    const ConvErrorShares::Inputs errorInputs = ErrorInputs(lanes, parts);
    // The errors and shares are computed before any weight moves, so they
    // use the weights the forward pass used.
    if (shareErrors) errors.Prepare(chunkCount, errorInputs, parts.kernels, compact);
    const ConvUpdateLanes::Inputs updateInputs = PrepareUpdate(lanes, parts);
    // From here on the weights change, and after the update the inputs.
    activationsFresh = false;
    // Reordered chunks stage their new weights until no chunk failed.
    const bool staged = balance.Balance(chunkCount, layout, parts.outputs);
    const std::vector<FeatureMap>& maps = staged ? balance.Items() : parts.outputs;
    const std::vector<DepthLine*> noLines;
    const std::vector<DepthLine*>& lines =
        shareErrors ? lineSums.Deal(parts.queue, chunkCount, parts.lines.data(), parts.lines.size())
                    : noLines;

    // One batch in four steps, the chunks meeting between them: the errors
    // of chunk c's maps (every line's shares read the errors of all maps);
    // the shares of the chunk's lines (read the weights, which the update
    // moves); the update of a chunk of maps, taken in turn (reads the
    // inputs, which the lines' sums move); the sums added to the inputs.
    ChunkBarrier errorsMade(chunkCount);
    ChunkBarrier shared(chunkCount);
    ChunkBarrier updated(chunkCount);
    // Chunk c's sum of absolute errors, as the plain error task returns it.
    std::vector<float> errorSums(chunks, 0.0f);
    // Lines whose sums were not added (a failed update) stay queued.
    ActiveLineSweep sweep(parts.queue);
    const auto backward = [&](size_t c, const std::vector<DepthLine*>& chunk) {
        ChunkBarrier::Arrival errorArrival(errorsMade);
        ChunkBarrier::Arrival shareArrival(shared);
        ChunkBarrier::Arrival updateArrival(updated);
        if (shareErrors) {
            errorSums[c] =
                errors.ChunkErrors(errorInputs, c, parts.kernels, parts.outputs, compact);
            if (!errorArrival.ReportAndWait(true)) return std::vector<float>{1.0f};
            errors.Share(errorInputs, chunk, compact);
        }
        if (!shareArrival.ReportAndWait(true)) return std::vector<float>{1.0f};

        // The maps of round-robin chunk c, as the pool would split them.
        std::vector<FeatureMap> mine;
        for (size_t i = c; i < maps.size(); i += chunks) mine.push_back(maps[i]);
        mine = WithoutPadding(std::move(mine));
        bool updatedWell = update.Update(updateInputs, mine, parts.kernels, staged);
        if (!updatedWell && !staged) {
            // On a non-finite value the fast update has changed nothing:
            // the reference takes the chunk (one of its own) from the
            // start, and fails as it does.
            ReferenceUpdate(mine, parts.active.fields, parts.kernels);
            updatedWell = true;
        }
        if (!updateArrival.ReportAndWait(updatedWell)) return std::vector<float>{1.0f};
        if (staged) update.CommitStaged(updateInputs, mine, parts.kernels);
        if (shareErrors)
            lineSums.AddSums(lanes, parts.geometry, chunkCount > 1 ? lineSums.RowLines(c) : chunk,
                             parts.lines.data(), errors.Sums().data(), copies.Rows(),
                             copies.Steps());
        return std::vector<float>{};
    };
    std::vector<float> failures;
    if (pools.mapTaskPool.ThreadCount() == chunkCount && parts.outputs.size() >= chunks) {
        // On the forward's workers, chunk c on worker c: they hold band c.
        failures = pools.mapTaskPool.RunSharing(parts.outputs, [&](std::vector<FeatureMap> chunk) {
            const size_t c = ChunkOf(chunk);
            std::vector<DepthLine*> mineLines;
            for (size_t i = c; i < lines.size(); i += chunks) mineLines.push_back(lines[i]);
            return backward(c, mineLines);
        });
    } else {
        std::atomic<int> nextMapChunk{0};
        failures = pools.depthLinePool.RunSharing(lines, [&](std::vector<DepthLine*> chunk) {
            return backward(static_cast<size_t>(nextMapChunk.fetch_add(1)), chunk);
        });
    }
    if (shareErrors) errorTotal = TotalInChunkOrder(errorSums);
    return failures.empty();
}

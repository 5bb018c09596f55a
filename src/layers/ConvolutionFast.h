#pragma once

#include <cstddef>
#include <vector>

#include "layers/ActiveFields.h"
#include "layers/ConvChunkBalance.h"
#include "layers/ConvCompactShares.h"
#include "layers/ConvErrorShares.h"
#include "layers/ConvFastLayout.h"
#include "layers/ConvFieldSelection.h"
#include "layers/ConvForwardLanes.h"
#include "layers/ConvForwardPlan.h"
#include "layers/ConvGeometry.h"
#include "layers/ConvInputCopies.h"
#include "layers/ConvKernel.h"
#include "layers/ConvLanes.h"
#include "layers/ConvLineSums.h"
#include "layers/ConvStepInputs.h"
#include "layers/ConvUpdateLanes.h"
#include "layers/ConvWeightCache.h"
#include "layers/DepthLine.h"
#include "layers/FeatureMap.h"
#include "layers/LayerPools.h"
#include "layers/ReceptiveField.h"

namespace cv {
class Mat;
}

// The fast path of one ConvolutionLayer: the same forward, error, update and
// depth-line work as the layer's plain steps (ConvReference.h), with results
// equal bit for bit, computed in layouts that suit vector lanes. Each step
// lives in its own file with its own state, beside the plain step it
// mirrors:
// - ConvFieldSelection: the active fields and lines, from bitmaps;
// - ConvForwardPlan and ConvForwardLanes: the forward pass in the layout
//   that costs least for this pass, from ConvInputCopies' copy of the inputs;
// - ConvErrorShares (and ConvCompactShares): the errors from the forward's
//   saved activations and, per depth line, only the share that stays;
// - ConvUpdateLanes (and ConvWeightCache): the update, kernels of one
//   pattern side by side in lanes;
// - ConvLineSums: the shares' sums added to the inputs;
// - ConvChunkBalance: another split of the maps where round robin is uneven.
// This class runs those steps' batches on the layer's pools and hands each
// step what the one before left: the input copy of the forward to the
// update, the saved activations to the error shares, their line sums to the
// depth-line step. Where a fast step meets a value that is not finite it
// leaves the work to the plain step, which fails as the reference does.
// Owned by its layer; all calls on the layer's calling thread.
class ConvolutionFast {
  public:
    // The parts of its layer the fast path works on, lent for one call.
    struct Parts {
        const ConvGeometry& geometry;
        std::vector<ConvKernel>& kernels;
        FeatureMaps& outputs;
        std::vector<ReceptiveField>& fields;
        std::vector<DepthLine>& lines;   // one per input position, in position order
        std::vector<DepthLine*>& queue;  // a non-entry layer's active lines
        ActiveFields& active;
        LayerPools& pools;
    };

    // Lays out the fast path for the configured layer. A layer whose kernels
    // read beyond its window is left to the plain steps (Usable false).
    void Configure(const Parts& parts);
    void Release();
    bool Usable() const { return layout.usable; }

    // Records the planes the layer's depth lines were just linked to; the
    // fast steps read the same planes.
    void Link(const FeatureMaps& inputs, const ConvGeometry& geometry);
    // Whether linking to `inputs` would write the pointers the lines hold.
    bool LinkedTo(const FeatureMaps& inputs) const;

    // The Forward's choice of active fields (into parts.active), and their
    // lines set active and queued (for a non-entry layer).
    void SelectFields(const cv::Mat& resizedMask, float threshold, const Parts& parts);
    // To be called before anything but SelectFields changes the queue or
    // the active flags of its lines.
    void LinesChanged() { selection.LinesChanged(); }

    // The forward batch; afterwards the saved activations are fresh unless
    // a NaN sent the pass to the plain step.
    void Forward(const ConvLanes& lanes, const Parts& parts);
    // The backward batches; `errorTotal` becomes the layer's error total
    // (left alone for an entry layer).
    void Backward(const ConvLanes& lanes, const Parts& parts, float& errorTotal);

    // The inputs or weights may have changed since the last fast forward:
    // its saved activations no longer serve.
    void ForgetActivations() { activationsFresh = false; }
    // The kernels' weights may have changed other than by the fast update.
    void WeightsChanged() { weightCache.Invalidate(); }
    // Writes the compact shares out into the lines' rows, as the plain
    // error and depth-line steps read them.
    void SyncErrorShares(std::vector<DepthLine>& lines) { compact.Sync(lines.data()); }
    // The shares of the line at `position`, as its rows would hold them.
    std::vector<float> ErrorSharesAt(size_t position, const std::vector<DepthLine>& lines) const {
        return compact.SharesAt(position, lines[position]);
    }

    // For looking at what the fast path chose.
    const ConvFastLayout& Layout() const { return layout; }
    ConvForwardPlan::Layout ForwardLayout() const { return plan.ForwardLayout(); }
    bool SplitsByBlocks(int chunkCount) const { return plan.SplitsByBlocks(chunkCount); }
    const std::vector<size_t>& BandFields() const { return plan.BandFields(); }

  private:
    // The large buffers, made at the first fast pass rather than in
    // Configure, so that a layer the reference runs does not carry them.
    void AllocateBuffers(const Parts& parts);
    // Calling thread, before the forward batch of `chunkCount` chunks: the
    // plan for this pass and the input copy it reads.
    ConvForwardLanes::Inputs PrepareForward(int chunkCount, const ConvLanes& lanes,
                                            const Parts& parts);
    // Calling thread, before an update batch: the forward's input copy while
    // the activations are fresh, else one made again.
    ConvUpdateLanes::Inputs PrepareUpdate(const ConvLanes& lanes, const Parts& parts);
    ConvStepInputs StepInputs(const ConvLanes& lanes, const Parts& parts) const;
    ConvErrorShares::Inputs ErrorInputs(const ConvLanes& lanes, const Parts& parts) const;
    // The backward pass in one batch, for an entry layer or with the
    // forward's activations at hand; false when the update met a non-finite
    // value and was left undone for the plain step. It runs on the forward's
    // pool where the pools are alike, chunk c on the worker that computed
    // band c, so that the planes and weights stay in the caches they were
    // used from and the other pools' workers sleep.
    bool FusedBackward(const ConvLanes& lanes, const Parts& parts, bool shareErrors,
                       float& errorTotal);

    ConvFastLayout layout;
    ConvInputCopies copies;
    ConvFieldSelection selection;
    ConvForwardPlan plan;
    ConvForwardLanes forward;
    ConvWeightCache weightCache;
    ConvUpdateLanes update;
    ConvCompactShares compact;
    ConvErrorShares errors;
    ConvLineSums lineSums;
    ConvChunkBalance balance;
    bool buffersMade = false;
    // Whether the forward's saved activations (and its input copy) still
    // match the layer's inputs and weights.
    bool activationsFresh = false;
    ConvInputCopies::Copy forwardCopy;
};

#include "layers/ConvCompactShares.h"

#include <algorithm>

void ConvCompactShares::Configure(const ConvGeometry& geometry, const ConvFastLayout& layout,
                                  size_t lines) {
    inputCount = geometry.inputCount;
    outputCount = static_cast<size_t>(geometry.outputCount);
    lineCount = lines;
    weightStart = layout.weightStart;
    weightTotal = layout.weightTotal;
    // Compact shares pay where a pass's copy of the weights is small beside
    // the rows it stands for (an eighth of all rows at most: a pass touches
    // a good part of them). As many copies as fit a budget of about 4 MB per
    // layer (at least four, at most 64): the more copies, the longer a line
    // may rest before its rows must be written out.
    const size_t rowFloats = lines * outputCount * static_cast<size_t>(inputCount);
    const size_t budget = size_t{1} << 20;
    copySlots = static_cast<int>(
        std::min<size_t>(64, std::max<size_t>(4, budget / std::max<size_t>(1, weightTotal))));
    enabled = !geometry.entryLayer && 8 * weightTotal <= rowFloats;
    sharesHeld = false;
    sharePasses = 0;
}

void ConvCompactShares::Allocate(size_t lines) {
    if (!enabled) return;
    shareRefs.assign(lines * outputCount, Ref{});
    weightCopies.assign(static_cast<size_t>(copySlots) * weightTotal, 0.0f);
    copyPass.assign(static_cast<size_t>(copySlots), 0);
}

void ConvCompactShares::Release() {
    enabled = false;
    sharesHeld = false;
    shareRefs.clear();
    shareRefs.shrink_to_fit();
    weightCopies.clear();
    weightCopies.shrink_to_fit();
    copyPass.clear();
}

void ConvCompactShares::TakeCopy(DepthLine* lines) {
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
        WriteOut(older, lines);
        slot = copySlots;
        for (int i = copySlots - 1; i >= 0; --i) {
            if (!older[i]) continue;
            copyPass[static_cast<size_t>(i)] = 0;
            slot = i;
        }
    }
    copyPass[static_cast<size_t>(slot)] = ++sharePasses;
    copySlot = slot;
    sharesHeld = true;
}

void ConvCompactShares::CopyWeights(int output, const std::vector<float>& weights) {
    std::copy(weights.begin(), weights.end(),
              weightCopies.data() + static_cast<size_t>(copySlot) * weightTotal +
                  weightStart[static_cast<size_t>(output)]);
}

const float* ConvCompactShares::PassWeights(int output) const {
    return weightCopies.data() + static_cast<size_t>(copySlot) * weightTotal +
           weightStart[static_cast<size_t>(output)];
}

const float* ConvCompactShares::Source(int output, std::int32_t source) const {
    return weightCopies.data() + static_cast<size_t>(source / kEntrySpan) * weightTotal +
           weightStart[static_cast<size_t>(output)] +
           static_cast<size_t>(source % kEntrySpan) * static_cast<size_t>(inputCount);
}

void ConvCompactShares::WriteOut(const std::vector<bool>& slots, DepthLine* lines) {
    const int n = inputCount;
    const int outputs = static_cast<int>(outputCount);
    for (size_t position = 0; position < lineCount; ++position) {
        Ref* refs = RefsAt(position);
        for (int i = 0; i < outputs; ++i) {
            Ref& ref = refs[i];
            if (ref.source == kHeld || !slots[static_cast<size_t>(ref.source / kEntrySpan)])
                continue;
            // The product the plain error task wrote: err * weight.
            const float* source = Source(i, ref.source);
            float* row = lines[position].ErrorRow(i);
            for (int k = 0; k < n; ++k) row[k] = ref.factor * source[k];
            ref.source = kHeld;
        }
    }
}

void ConvCompactShares::Sync(DepthLine* lines) {
    if (!sharesHeld) return;
    WriteOut(std::vector<bool>(static_cast<size_t>(copySlots), true), lines);
    std::fill(copyPass.begin(), copyPass.end(), 0);
    sharesHeld = false;
}

std::vector<float> ConvCompactShares::SharesAt(size_t position, const DepthLine& line) const {
    std::vector<float> rows(line.errors);
    if (!sharesHeld) return rows;
    const int n = inputCount;
    for (size_t i = 0; i < outputCount; ++i) {
        const Ref& ref = shareRefs[position * outputCount + i];
        if (ref.source == kHeld) continue;
        const float* source = Source(static_cast<int>(i), ref.source);
        for (int k = 0; k < n; ++k) rows[i * n + static_cast<size_t>(k)] = ref.factor * source[k];
    }
    return rows;
}

#include "layers/ConvErrorShares.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>

#include "common/Prefetch.h"
#include "common/ThreadScratch.h"

namespace {

// Working memory of one worker thread; it only grows.
struct ShareScratch {
    std::vector<int> writerField;
    std::vector<int> writerEntry;
    std::vector<const float*> shareSources;
    std::vector<float> shareFactors;
};

}  // namespace

void ConvErrorShares::Allocate(const ConvGeometry& geometry) {
    const size_t positions = static_cast<size_t>(geometry.inputWidth) * geometry.inputHeight;
    lineSums.assign(positions * static_cast<size_t>(geometry.inputCount), 0.0f);
}

void ConvErrorShares::Release() {
    lineSums.clear();
    lineSums.shrink_to_fit();
}

void ConvErrorShares::Prepare(int chunkCount, const Inputs& in,
                              const std::vector<ConvKernel>& kernels, ConvCompactShares& compact) {
    errorChunks = std::max(1, chunkCount);
    mapWeights.resize(kernels.size());
    // With compact shares, the shares of this pass refer to a copy of the
    // weights as they are now, before the update moves them; each chunk
    // makes the copies of its own kernels.
    if (compact.Enabled()) compact.TakeCopy(in.lines);
    for (size_t i = 0; i < kernels.size(); ++i)
        mapWeights[i] = compact.Enabled() ? compact.PassWeights(static_cast<int>(i))
                                          : kernels[i].Weights().data();
    // A field's errors lie side by side for Share, each chunk's maps in a
    // span of whole cache lines of their own, so that chunks writing at
    // once do not write the same line.
    constexpr int kFloatsPerLine = ConvFastLayout::kFloatsPerLine;
    const int outputs = in.geometry->outputCount;
    const int perChunk = (outputs + errorChunks - 1) / errorChunks;
    const int span = (perChunk + kFloatsPerLine - 1) / kFloatsPerLine * kFloatsPerLine;
    errorRowSize = static_cast<size_t>(span) * errorChunks;
    errorColumn.resize(static_cast<size_t>(outputs));
    for (int i = 0; i < outputs; ++i)
        errorColumn[static_cast<size_t>(i)] = i % errorChunks * span + i / errorChunks;
    fieldErrors.resize(in.active->fields.size() * errorRowSize);
}

float ConvErrorShares::ChunkErrors(const Inputs& in, size_t chunk,
                                   const std::vector<ConvKernel>& kernels,
                                   const FeatureMaps& outputs, ConvCompactShares& compact) {
    const size_t chunks = static_cast<size_t>(errorChunks);
    const std::vector<size_t>& cells = in.active->cells;
    const std::vector<size_t>& lanes = in.active->lanes;
    const size_t fieldCount = in.active->fields.size();
    // Invariant: sum holds the absolute errors of the chunk's earlier maps
    // and fields, in the plain error task's order.
    float sum = 0.0f;
    for (size_t i = chunk; i < static_cast<size_t>(in.geometry->outputCount); i += chunks) {
        // The copy mapWeights[i] points to.
        if (compact.Enabled()) compact.CopyWeights(static_cast<int>(i), kernels[i].Weights());
        const float* targets = outputs[i].image->ptr<float>(0);
        const float* saved = in.activations + i * in.laneCapacity;
        float* errors = fieldErrors.data() + errorColumn[i];
        for (size_t f = 0; f < fieldCount; ++f) {
            const float err = targets[cells[f]] - saved[lanes[f]];
            errors[f * errorRowSize] = err;
            sum = sum + std::fabs(err);
        }
    }
    return sum;
}

void ConvErrorShares::Share(const Inputs& in, const std::vector<DepthLine*>& lines,
                            ConvCompactShares& compact) {
    if (in.geometry->stride == 1)
        ShareLines<1>(in, lines, compact);
    else if (in.geometry->stride == 2)
        ShareLines<2>(in, lines, compact);
    else
        ShareLines<0>(in, lines, compact);
}

// kStride: the layer's stride, or 0 for any.
template <int kStride>
void ConvErrorShares::ShareLines(const Inputs& in, const std::vector<DepthLine*>& lines,
                                 ConvCompactShares& compact) {
    ShareScratch& s = ThreadScratch<ShareScratch>();
    const ConvGeometry& geometry = *in.geometry;
    const ConvFastLayout& layout = *in.layout;
    const std::vector<std::int32_t>& fieldSlot = *in.fieldSlots;
    const int n = geometry.inputCount;
    const int outputCount = geometry.outputCount;
    const bool compactShares = compact.Enabled();
    const int stride = kStride > 0 ? kStride : geometry.stride;
    const size_t patternCount = layout.patternEntries.size();
    s.writerField.resize(patternCount);
    s.writerEntry.resize(patternCount);
    s.shareSources.resize(static_cast<size_t>(outputCount));
    s.shareFactors.resize(static_cast<size_t>(outputCount));
    // The lines live apart on the heap: ask for them a few ahead.
    constexpr size_t kAhead = 4;
    for (size_t i = 0; i < std::min(kAhead, lines.size()); ++i) Prefetch(lines[i]);
    for (size_t i = 0; i < lines.size(); ++i) {
        DepthLine* line = lines[i];
        if (i + kAhead < lines.size()) Prefetch(lines[i + kAhead]);
        if (i + 1 < lines.size() && !compactShares) Prefetch(lines[i + 1]->errors.data());
        if (!line->active) continue;
        const size_t index = static_cast<size_t>(line - in.lines);
        const int x = static_cast<int>(index % static_cast<size_t>(geometry.inputWidth));
        const int y = static_cast<int>(index / static_cast<size_t>(geometry.inputWidth));
        // For each pattern, the last active field (in the plain error task's
        // order) whose pattern reaches this line, and through which entry: the
        // plain task assigns the shares field after field, so that one stays.
        for (size_t p = 0; p < patternCount; ++p) {
            s.writerField[p] = -1;
            for (const ConvFastLayout::PatternEntry& e : layout.patternEntries[p]) {
                const int offsetX = x - e.dx - stride / 2;
                const int offsetY = y - e.dy - stride / 2;
                if (offsetX < 0 || offsetY < 0) continue;
                if (kStride != 1 && (offsetX % stride != 0 || offsetY % stride != 0)) continue;
                const int column = offsetX / stride;
                const int row = offsetY / stride;
                if (column >= geometry.outputWidth || row >= geometry.outputHeight) continue;
                const int field = row * geometry.outputWidth + column;
                const std::int32_t slot = fieldSlot[static_cast<size_t>(field)];
                if (slot < 0) continue;
                s.writerField[p] = slot;
                s.writerEntry[p] = e.entry;
                break;
            }
        }
        // Maps that reach the line this pass overwrite their shares; the
        // others keep what an earlier pass left. The sum takes all of them.
        ConvCompactShares::Ref* refs = compactShares ? compact.RefsAt(index) : nullptr;
        for (int i = 0; i < outputCount; ++i) {
            const size_t p = static_cast<size_t>(layout.patternOf[static_cast<size_t>(i)]);
            const bool written = s.writerField[p] >= 0;
            // The error of map i at the writing field: target minus activation.
            const float err =
                written ? fieldErrors[static_cast<size_t>(s.writerField[p]) * errorRowSize +
                                      errorColumn[static_cast<size_t>(i)]]
                        : 0.0f;
            if (refs != nullptr) {
                // Compact: the reference changes; a row that stays is read
                // from the line or recomputed from its pass's copy.
                ConvCompactShares::Ref& ref = refs[i];
                if (written)
                    ref = {err,
                           compact.PassSlot() * ConvCompactShares::kEntrySpan + s.writerEntry[p]};
                s.shareFactors[static_cast<size_t>(i)] = ref.factor;
                s.shareSources[static_cast<size_t>(i)] = ref.source == ConvCompactShares::kHeld
                                                             ? nullptr
                                                             : compact.Source(i, ref.source);
                continue;
            }
            s.shareFactors[static_cast<size_t>(i)] = err;
            s.shareSources[static_cast<size_t>(i)] =
                written
                    ? mapWeights[static_cast<size_t>(i)] + static_cast<size_t>(s.writerEntry[p]) * n
                    : nullptr;
        }
        in.lanes->lineShares(line->errors.data(), lineSums.data() + index * n,
                             s.shareSources.data(), s.shareFactors.data(), outputCount, n,
                             refs == nullptr);
    }
}

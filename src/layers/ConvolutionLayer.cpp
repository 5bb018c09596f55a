#include "layers/ConvolutionLayer.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <opencv2/imgproc.hpp>

#include "common/Formulas.h"
#include "layers/LayerDump.h"
#include "layers/MaxPool.h"
#include "parallel/ChunkBarrier.h"

namespace {

// After a depth-line batch, drops from the queue the lines the batch has
// cleared. On success that empties it; if a task failed, the lines it never
// reached stay queued, so the queue keeps holding exactly the active lines.
class ActiveLineSweep {
  public:
    explicit ActiveLineSweep(std::vector<DepthLine*>& queue) : queue(queue) {}
    ~ActiveLineSweep() {
        queue.erase(std::remove_if(queue.begin(), queue.end(),
                                   [](const DepthLine* line) { return !line->active; }),
                    queue.end());
    }
    ActiveLineSweep(const ActiveLineSweep&) = delete;
    ActiveLineSweep& operator=(const ActiveLineSweep&) = delete;

  private:
    std::vector<DepthLine*>& queue;
};

float& CellAt(const FeatureMap& map, const ReceptiveField& field) {
    return map.image->ptr<float>(field.row)[field.column];
}

// A chunk of reordered maps without the empty records that pad it.
std::vector<FeatureMap> WithoutPadding(std::vector<FeatureMap> maps) {
    maps.erase(std::remove_if(maps.begin(), maps.end(),
                              [](const FeatureMap& map) { return map.kernel == nullptr; }),
               maps.end());
    return maps;
}

std::atomic<ConvolutionLayer::Implementation> chosenImplementation{
    ConvolutionLayer::Implementation::Fast};

// The layer's error total from its error chunks' sums, added in chunk order
// as the pool gathers the plain error task's results.
float TotalInChunkOrder(const std::vector<float>& chunkSums) {
    float total = 0.0f;
    for (const float sum : chunkSums) total = total + sum;
    return total;
}

}  // namespace

void ConvolutionLayer::SetImplementation(Implementation implementation) {
    chosenImplementation.store(implementation);
}

ConvolutionLayer::Implementation ConvolutionLayer::GetImplementation() {
    return chosenImplementation.load();
}

namespace {

// The fast path's lanes for the chosen implementation, null for the reference.
const ConvLanes* ChosenLanes() {
    switch (ConvolutionLayer::GetImplementation()) {
        case ConvolutionLayer::Implementation::Fast:
            return &ConvLanes::Best();
        case ConvolutionLayer::Implementation::FastAvx2:
            return ConvLanes::Avx2() != nullptr ? ConvLanes::Avx2() : &ConvLanes::Portable();
        case ConvolutionLayer::Implementation::FastPortable:
            return &ConvLanes::Portable();
        default:
            return nullptr;
    }
}

}  // namespace

const ConvLanes* ConvolutionLayer::FastLanes() {
    // Pools without workers fail the reference's batches; leave that to it.
    const bool poolsReady =
        pools->mapPointerPool.ThreadCount() >= 1 && pools->mapTaskPool.ThreadCount() >= 1 &&
        pools->depthLinePool.ThreadCount() >= 1 && pools->errorSumPool.ThreadCount() >= 1;
    const ConvLanes* lanes = ChosenLanes();
    if (lanes == nullptr || !fast.Usable() || !poolsReady) return nullptr;
    fast.UseLanes(*lanes);
    return lanes;
}

ConvolutionLayer::ConvolutionLayer(cv::Size minKernelSize, cv::Size maxKernelSize, int inputCount,
                                   int outputCount, int stride, LayerPools* pools, bool entryLayer)
    : pools(pools),
      stride(stride),
      inputCount(inputCount),
      outputCount(outputCount),
      maxKernelWidth(maxKernelSize.width),
      maxKernelHeight(maxKernelSize.height),
      minKernelWidth(minKernelSize.width),
      minKernelHeight(minKernelSize.height),
      entryLayer(entryLayer) {}

ConvolutionLayer::~ConvolutionLayer() { Release(); }

cv::Size ConvolutionLayer::Configure(cv::Size inputSize) {
    if (inputSize.width % stride != 0) {
        std::cout << "Conv: wrong image size" << std::endl;
        throw "Conv: wrong image size";
    }
    inputWidth = inputSize.width;
    inputHeight = inputSize.height;
    outputWidth = inputWidth / stride;
    outputHeight = inputHeight / stride;

    // Output maps point into this list, so it must never grow past its reserve.
    kernels.reserve(static_cast<size_t>(outputCount));
    int size = 3;
    for (int i = 0; i < outputCount; ++i) {
        if (size > maxKernelWidth) size = minKernelWidth;
        kernels.emplace_back(i, cv::Size(size, size), inputCount, i % 5);
        size += 2;
    }

    // The planes are views of one block, one after another, so that the
    // layer reading them can take them as they are (the block lives as long
    // as any view of it). A cache line between planes keeps the same cell of
    // neighbouring planes out of one cache set.
    const int planeFloats = outputHeight * outputWidth;
    const int planeDistance = planeFloats + 16;
    const cv::Mat block(1, planeDistance * outputCount, CV_32F, cv::Scalar(0));
    for (int i = 0; i < outputCount; ++i) {
        FeatureMap map;
        map.image =
            planeFloats == 0
                ? new cv::Mat(outputHeight, outputWidth, CV_32F)
                : new cv::Mat(block.colRange(i * planeDistance, i * planeDistance + planeFloats)
                                  .reshape(1, outputHeight));
        map.kernel = &kernels[static_cast<size_t>(i)];
        map.switches = new std::vector<PoolLink>();
        // Stored before the check so that Release frees it either way.
        outputs.push_back(map);
        if (!map.image->isContinuous()) throw "Image is not continuous";
    }

    const size_t positions = static_cast<size_t>(inputWidth) * inputHeight;
    lineStore.reserve(positions);
    depthLines.reserve(positions);
    for (size_t i = 0; i < positions; ++i) {
        lineStore.emplace_back(inputCount, outputCount);
        depthLines.push_back(&lineStore.back());
    }
    if (!entryLayer) activeLines.reserve(depthLines.size());

    // Fields beyond the output plane (possible only for a stride that does
    // not divide the height) are not made: they would have no cell to write.
    const std::vector<cv::Point> offsets = ConvKernel::WindowOffsets(maxKernelWidth);
    fields.reserve(static_cast<size_t>(outputWidth) * outputHeight);
    int row = 0;
    for (int centerY = stride / 2; centerY < inputHeight && row < outputHeight;
         centerY += stride, ++row) {
        int column = 0;
        for (int centerX = stride / 2; centerX < inputWidth && column < outputWidth;
             centerX += stride, ++column) {
            ReceptiveField field;
            field.centerX = centerX;
            field.centerY = centerY;
            field.column = column;
            field.row = row;
            field.lines.reserve(offsets.size());
            for (const cv::Point& offset : offsets) {
                const int x = centerX + offset.x;
                const int y = centerY + offset.y;
                const bool inside = x >= 0 && x < inputWidth && y >= 0 && y < inputHeight;
                field.lines.push_back(inside ? depthLines[static_cast<size_t>(y) * inputWidth + x]
                                             : nullptr);
            }
            fields.push_back(std::move(field));
        }
    }
    activeFields.reserve(fields.size());
    fast.Configure();
    return cv::Size(outputWidth, outputHeight);
}

void ConvolutionLayer::LinkInputs(FeatureMaps& inputs) {
    for (int y = 0; y < inputHeight; ++y) {
        for (int x = 0; x < inputWidth; ++x) {
            DepthLine* line = depthLines[static_cast<size_t>(y) * inputWidth + x];
            for (int k = 0; k < inputCount; ++k)
                line->inputs[static_cast<size_t>(k)] =
                    inputs[static_cast<size_t>(k)].image->ptr<float>(y) + x;
        }
    }
    fast.Link(inputs);
}

FeatureMaps* ConvolutionLayer::Forward(FeatureMaps& inputs, const cv::Mat* mask) {
    if (inputs.size() != static_cast<size_t>(inputCount)) throw "Convolution: Input maps mismatch";
    // An entry layer's input list is rebuilt by its owner, so its record
    // addresses prove nothing: link every time. (The fast path skips links
    // that would write the pointers the lines already hold.)
    const bool useFast = FastLanes() != nullptr;
    if (entryLayer || &inputs != lastInputs) {
        lastInputs = &inputs;
        if (!useFast || !fast.LinkedTo(inputs)) LinkInputs(inputs);
    }

    activeFields.clear();
    if (mask != nullptr) {
        CV_Assert(mask->type() == CV_32FC1);
        cv::resize(*mask, resizedMask, cv::Size(inputWidth, inputHeight), 0, 0, cv::INTER_LINEAR);
        if (useFast) {
            fast.ActivateFields(resizedMask, threshold, entryLayer ? nullptr : &activeLines);
        } else {
            fast.LinesChanged();
            for (ReceptiveField& field : fields) {
                if (!(resizedMask.ptr<float>(field.centerY)[field.centerX] > threshold)) continue;
                for (DepthLine* line : field.lines) {
                    if (line == nullptr || line->active) continue;
                    line->active = true;
                    if (!entryLayer) activeLines.push_back(line);
                }
                activeFields.push_back(&field);
            }
        }
    }

    fast.SetActivationsFresh(false);
    const int chunkCount = pools->mapTaskPool.ThreadCount();
    if (useFast) fast.PrepareForward(chunkCount);
    const bool byBlocks = useFast && fast.SplitsByBlocks(chunkCount);
    if (byBlocks || (useFast && fast.Balance(chunkCount))) {
        // Bands of rows, or reordered chunks of maps: every chunk computes its
        // activations, and writes its band or its maps' planes only once no
        // chunk met a NaN (a band's fields may lie in another chunk's
        // blocks), so that a failure can be left to the reference.
        const std::vector<FeatureMap>& items = byBlocks ? outputs : fast.BalancedItems();
        ChunkBarrier computed(chunkCount);
        const std::vector<float> failures = pools->mapTaskPool.Run(
            items, [this, byBlocks, &computed](std::vector<FeatureMap> chunk) {
                const std::vector<FeatureMap> maps = WithoutPadding(std::move(chunk));
                const size_t band = ConvolutionFast::ChunkOf(maps);
                ChunkBarrier::Arrival arrival(computed);
                const bool done = byBlocks ? fast.ComputeBand(band) : fast.ComputeForward(maps);
                if (!arrival.ReportAndWait(done)) return std::vector<float>{1.0f};
                if (byBlocks)
                    fast.WriteBand(band);
                else
                    fast.WriteOutputs(maps);
                return std::vector<float>{};
            });
        if (failures.empty()) {
            fast.SetActivationsFresh(true);
        } else {
            // Nothing is written yet: the reference does the whole pass on
            // its own chunks, and fails as it does.
            pools->mapTaskPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
                return ForwardTask(std::move(chunk));
            });
        }
    } else if (useFast) {
        pools->mapTaskPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
            const size_t failed = fast.Forward(chunk);
            if (failed == chunk.size()) return std::vector<float>{};
            // A sum that is not a number: the reference redoes the rest of the
            // chunk, so the failure and what it leaves behind are its own.
            chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(failed));
            return ForwardTask(std::move(chunk));
        });
        // Reached only when every task finished: Run throws otherwise.
        fast.SetActivationsFresh(true);
    } else {
        pools->mapTaskPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
            return ForwardTask(std::move(chunk));
        });
    }
    return &outputs;
}

std::vector<float> ConvolutionLayer::ForwardTask(std::vector<FeatureMap> maps) {
    for (const FeatureMap& map : maps) {
        map.image->setTo(cv::Scalar(0));
        // Invariant: only cells of active fields hold a response; all others stay 0.
        for (const ReceptiveField* field : activeFields)
            CellAt(map, *field) = map.kernel->Respond(field->lines);
    }
    return {};
}

void ConvolutionLayer::Backward() {
    // Every way below may clear the lines' flags and their queue.
    fast.LinesChanged();
    const bool useFast = FastLanes() != nullptr;
    // The saved activations are those the error task would recompute: the
    // inputs and weights are still the last Forward's. After this pass they
    // are not.
    const bool reuseActivations = useFast && fast.ActivationsFresh();
    // Every other way reads or writes the lines' rows themselves.
    if (!reuseActivations) fast.SyncErrorShares();
    if (useFast && (entryLayer || reuseActivations)) {
        if (FastBackward(!entryLayer && reuseActivations)) return;
        // A staged update met a non-finite value, and nothing has changed
        // since the shares: the reference updates on its own chunks, and
        // fails as it does; then the lines take their sums.
        fast.WeightsChanged();
        pools->mapPointerPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
            return UpdateTask(std::move(chunk));
        });
        if (entryLayer) return;
        ActiveLineSweep sweep(activeLines);
        pools->depthLinePool.Run(fast.DealLines(activeLines, pools->depthLinePool.ThreadCount()),
                                 [this](std::vector<DepthLine*> chunk) {
                                     fast.AddRows(chunk);
                                     return std::vector<float>{};
                                 });
        return;
    }

    // The plain error task (the fast path's saved activations are stale),
    // then the update and the lines' sums.
    if (!entryLayer) {
        errorTotal = TotalInChunkOrder(pools->errorSumPool.Run(
            outputs,
            [this](std::vector<FeatureMap> chunk) { return ErrorTask(std::move(chunk)); }));
    }
    // The update and the lines' sums change what the saved activations came from.
    fast.SetActivationsFresh(false);
    if (useFast) {
        fast.PrepareUpdate();
        pools->mapPointerPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
            // On a non-finite value the fast update has changed nothing, and
            // the reference takes the chunk from the start.
            if (fast.Update(chunk)) return std::vector<FeatureMap*>{};
            return UpdateTask(std::move(chunk));
        });
    } else {
        fast.WeightsChanged();
        pools->mapPointerPool.Run(outputs, [this](std::vector<FeatureMap> chunk) {
            return UpdateTask(std::move(chunk));
        });
    }

    if (!entryLayer) {
        ActiveLineSweep sweep(activeLines);
        const std::vector<DepthLine*>& lines =
            useFast ? fast.DealLines(activeLines, pools->depthLinePool.ThreadCount()) : activeLines;
        pools->depthLinePool.Run(lines, [this, useFast](std::vector<DepthLine*> chunk) {
            if (!useFast) return DepthLineTask(std::move(chunk));
            fast.DepthLines(chunk);
            return std::vector<float>{};
        });
    }
}

bool ConvolutionLayer::FastBackward(bool shareErrors) {
    const int chunkCount = pools->depthLinePool.ThreadCount();
    // The errors and shares are computed before any weight moves, so they
    // use the weights the forward pass used.
    if (shareErrors) fast.PrepareErrors(chunkCount);
    fast.PrepareUpdate();
    // From here on the weights change, and after the update the inputs.
    fast.SetActivationsFresh(false);
    // Reordered chunks stage their new weights until no chunk failed.
    const bool staged = fast.Balance(chunkCount);
    const std::vector<FeatureMap>& maps = staged ? fast.BalancedItems() : outputs;
    const std::vector<DepthLine*> noLines;
    const std::vector<DepthLine*>& lines =
        shareErrors ? fast.DealLines(activeLines, chunkCount) : noLines;

    // One batch in four steps, the chunks meeting between them: the errors
    // of chunk c's maps (every line's shares read the errors of all maps);
    // the shares of the chunk's lines (read the weights, which the update
    // moves); the update of a chunk of maps, taken in turn (reads the
    // inputs, which the lines' sums move); the sums added to the inputs.
    ChunkBarrier errorsMade(chunkCount);
    ChunkBarrier shared(chunkCount);
    ChunkBarrier updated(chunkCount);
    // Chunk c's sum of absolute errors, as the plain error task returns it.
    std::vector<float> errorSums(static_cast<size_t>(chunkCount), 0.0f);
    // Lines whose sums were not added (a failed update) stay queued.
    ActiveLineSweep sweep(activeLines);
    const auto backward = [&, this](size_t c, const std::vector<DepthLine*>& chunk) {
        ChunkBarrier::Arrival errorArrival(errorsMade);
        ChunkBarrier::Arrival shareArrival(shared);
        ChunkBarrier::Arrival updateArrival(updated);
        if (shareErrors) {
            errorSums[c] = fast.ChunkErrors(c);
            if (!errorArrival.ReportAndWait(true)) return std::vector<float>{1.0f};
            fast.ShareErrors(chunk);
        }
        if (!shareArrival.ReportAndWait(true)) return std::vector<float>{1.0f};

        // The maps of round-robin chunk c, as the pool would split them.
        std::vector<FeatureMap> mine;
        for (size_t i = c; i < maps.size(); i += static_cast<size_t>(chunkCount))
            mine.push_back(maps[i]);
        mine = WithoutPadding(std::move(mine));
        bool updatedWell = fast.Update(mine, staged);
        if (!updatedWell && !staged) {
            // On a non-finite value the fast update has changed
            // nothing: the reference takes the chunk (one of its own)
            // from the start, and fails as it does.
            UpdateTask(mine);
            updatedWell = true;
        }
        if (!updateArrival.ReportAndWait(updatedWell)) return std::vector<float>{1.0f};
        if (staged) fast.CommitStaged(mine);
        if (shareErrors) fast.AddRows(chunkCount > 1 ? fast.RowLines(c) : chunk);
        return std::vector<float>{};
    };
    std::vector<float> failures;
    if (pools->mapTaskPool.ThreadCount() == chunkCount &&
        outputs.size() >= static_cast<size_t>(chunkCount)) {
        // On the forward's workers, chunk c on worker c: they hold band c.
        failures = pools->mapTaskPool.Run(outputs, [&](std::vector<FeatureMap> chunk) {
            const size_t c = ConvolutionFast::ChunkOf(chunk);
            std::vector<DepthLine*> mineLines;
            for (size_t i = c; i < lines.size(); i += static_cast<size_t>(chunkCount))
                mineLines.push_back(lines[i]);
            return backward(c, mineLines);
        });
    } else {
        std::atomic<int> nextMapChunk{0};
        failures = pools->depthLinePool.Run(lines, [&](std::vector<DepthLine*> chunk) {
            return backward(static_cast<size_t>(nextMapChunk.fetch_add(1)), chunk);
        });
    }
    if (shareErrors) errorTotal = TotalInChunkOrder(errorSums);
    return failures.empty();
}

std::vector<float> ConvolutionLayer::ErrorTask(std::vector<FeatureMap> maps) {
    float sum = 0.0f;
    for (const FeatureMap& map : maps) {
        // Invariant: each map's kernel writes only its own row of every line's shares.
        for (const ReceptiveField* field : activeFields)
            sum = sum + map.kernel->ErrorShare(CellAt(map, *field), field->lines);
    }
    return {sum};
}

std::vector<FeatureMap*> ConvolutionLayer::UpdateTask(std::vector<FeatureMap> maps) {
    for (const FeatureMap& map : maps) {
        // Invariant: positions of one map update the same weights one after another.
        for (const ReceptiveField* field : activeFields)
            map.kernel->Learn(CellAt(map, *field), field->lines);
    }
    return {};
}

std::vector<float> ConvolutionLayer::DepthLineTask(std::vector<DepthLine*> lines) {
    std::vector<float> row(static_cast<size_t>(inputCount));
    for (DepthLine* line : lines) {
        if (!line->active) continue;
        line->active = false;
        std::fill(row.begin(), row.end(), 0.0f);
        // Invariant: row[k] is the sum of the shares of output maps 0..i-1 for input k.
        for (int i = 0; i < outputCount; ++i) {
            const float* shares = line->ErrorRow(i);
            for (int k = 0; k < inputCount; ++k) row[k] = row[k] + shares[k];
        }
        for (int k = 0; k < inputCount; ++k) {
            float& value = *line->inputs[static_cast<size_t>(k)];
            value = ClampToUnit(value + row[static_cast<size_t>(k)]);
        }
    }
    return {};
}

int ConvolutionLayer::Depth() { return static_cast<int>(kernels.size()); }

void ConvolutionLayer::Release() {
    for (FeatureMap& map : outputs) {
        delete map.image;
        delete map.switches;
    }
    outputs.clear();
    depthLines.clear();
    lineStore.clear();
    lineStore.shrink_to_fit();
    activeLines.clear();
    // The fields' windows point at the freed lines.
    activeFields.clear();
    fields.clear();
    kernels.clear();
    lastInputs = nullptr;
    fast.Release();
}

std::vector<float> ConvolutionLayer::ErrorShares(size_t position) const {
    return fast.ErrorSharesAt(position);
}

float ConvolutionLayer::GetError(bool reset) {
    const float total = errorTotal;
    if (reset) errorTotal = 0.0f;
    return total;
}

void ConvolutionLayer::SetRates(float rate, float maskThreshold) {
    for (ConvKernel& kernel : kernels) kernel.rate = rate;
    threshold = maskThreshold;
}

WeightGroups ConvolutionLayer::GetWeights() {
    // The caller may write through these pointers before the next Forward
    // or Backward.
    fast.SetActivationsFresh(false);
    fast.WeightsChanged();
    WeightGroups groups;
    for (ConvKernel& kernel : kernels) {
        WeightGroup group;
        for (float& weight : kernel.weights) group.push_back(&weight);
        groups.push_back(std::move(group));
    }
    return groups;
}

void ConvolutionLayer::Dump(int index) { DumpMaps(outputs, index, DefaultDumpFolder()); }

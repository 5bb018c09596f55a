#include "layers/ConvLineSums.h"

#include <algorithm>
#include <cstdint>

#include "common/Formulas.h"
#include "common/Prefetch.h"
#include "common/ThreadScratch.h"
#include "layers/ConvFastLayout.h"

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// Working memory of one worker thread; it only grows.
struct SumScratch {
    std::vector<std::uint64_t> positions;
    std::vector<float*> rowPointers;
    std::vector<float> row;
    std::vector<const float*> shareSources;
    std::vector<float> shareFactors;
};

}  // namespace

const std::vector<DepthLine*>& ConvLineSums::Deal(const std::vector<DepthLine*>& lines,
                                                  int chunkCount, DepthLine* first,
                                                  size_t lineCount) {
    if (chunkCount < 2) return lines;
    if (lines.empty()) {
        rowChunks.assign(static_cast<size_t>(chunkCount), {});
        return lines;
    }
    // In position order, then dealt out so that the pools' round-robin split
    // gives every chunk one run of neighbouring lines: neighbours share the
    // cache lines of the input planes and of the sums, which two workers
    // writing side by side would pass back and forth.
    std::vector<std::uint64_t>& positions = ThreadScratch<SumScratch>().positions;
    positions.assign((lineCount + 63) / 64, 0);
    for (const DepthLine* line : lines) {
        const size_t index = static_cast<size_t>(line - first);
        positions[index / 64] |= std::uint64_t{1} << (index % 64);
    }
    sortedLines.clear();
    for (size_t word = 0; word < positions.size(); ++word) {
        std::uint64_t bits = positions[word];
        for (size_t bit = 0; bits != 0; ++bit, bits >>= 1)
            if ((bits & 1) != 0) sortedLines.push_back(first + word * 64 + bit);
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
    constexpr size_t kFloatsPerLine = ConvFastLayout::kFloatsPerLine;
    const auto cacheLineOf = [first](const DepthLine* line) {
        return static_cast<size_t>(line - first) / kFloatsPerLine;
    };
    rowChunks.resize(chunks);
    size_t begin = 0;
    for (size_t chunk = 0; chunk < chunks; ++chunk) {
        size_t end = chunk + 1 == chunks ? count : std::max(begin, count * (chunk + 1) / chunks);
        while (end > 0 && end < count &&
               cacheLineOf(sortedLines[end]) == cacheLineOf(sortedLines[end - 1]))
            ++end;
        rowChunks[chunk].assign(sortedLines.begin() + static_cast<std::ptrdiff_t>(begin),
                                sortedLines.begin() + static_cast<std::ptrdiff_t>(end));
        begin = end;
    }
    return dealtLines;
}

void ConvLineSums::AddSums(const ConvLanes& lanes, const ConvGeometry& geometry,
                           const std::vector<DepthLine*>& lines, DepthLine* first,
                           const float* sums, const std::vector<float*>& inputRows,
                           const std::vector<size_t>& inputSteps) const {
    const int n = geometry.inputCount;
    const size_t width = static_cast<size_t>(geometry.inputWidth);
    SumScratch& s = ThreadScratch<SumScratch>();
    // The chunk's active lines as a bitmap of positions, cleared on the way.
    s.positions.assign((width * geometry.inputHeight + 63) / 64, 0);
    constexpr size_t kAhead = 8;
    for (size_t i = 0; i < std::min(kAhead, lines.size()); ++i) Prefetch(lines[i]);
    for (size_t i = 0; i < lines.size(); ++i) {
        DepthLine* line = lines[i];
        if (i + kAhead < lines.size()) Prefetch(lines[i + kAhead]);
        if (!line->active) continue;
        line->active = false;
        const size_t index = static_cast<size_t>(line - first);
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
            const size_t firstPosition = word * 64 + group;
            const size_t y = firstPosition / width;
            const size_t x = firstPosition - y * width;
            if (x + kWidth <= width) {
                for (int k = 0; k < n; ++k)
                    rows[k] = inputRows[static_cast<size_t>(k)] +
                              y * inputSteps[static_cast<size_t>(k)] + x;
                lanes.addRows(rows, sums + firstPosition * n, n, active);
                continue;
            }
            // Across the end of a row: one position at a time.
            for (int lane = 0; lane < kWidth; ++lane) {
                if ((active >> lane & 1) == 0) continue;
                const size_t index = firstPosition + static_cast<size_t>(lane);
                const size_t row = index / width;
                for (int k = 0; k < n; ++k)
                    rows[k] = inputRows[static_cast<size_t>(k)] +
                              row * inputSteps[static_cast<size_t>(k)] + (index - row * width);
                lanes.addRows(rows, sums + index * n, n, 1);
            }
        }
    }
}

void ConvLineSums::SumRows(const ConvLanes& lanes, const ConvGeometry& geometry,
                           const std::vector<DepthLine*>& lines) const {
    const int n = geometry.inputCount;
    const int outputCount = geometry.outputCount;
    SumScratch& s = ThreadScratch<SumScratch>();
    std::vector<float>& row = s.row;
    row.resize(static_cast<size_t>(n));
    // No map writes shares here: the lines are only summed.
    s.shareSources.assign(static_cast<size_t>(outputCount), nullptr);
    s.shareFactors.assign(static_cast<size_t>(outputCount), 0.0f);
    for (DepthLine* line : lines) {
        if (!line->active) continue;
        line->active = false;
        lanes.lineShares(line->errors.data(), row.data(), s.shareSources.data(),
                         s.shareFactors.data(), outputCount, n, false);
        for (int k = 0; k < n; ++k) {
            float& value = *line->inputs[static_cast<size_t>(k)];
            value = ClampToUnit(value + row[static_cast<size_t>(k)]);
        }
    }
}

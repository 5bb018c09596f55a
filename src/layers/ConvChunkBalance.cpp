#include "layers/ConvChunkBalance.h"

#include <algorithm>
#include <cstddef>

void ConvChunkBalance::Reset() {
    chunks = 0;
    balanced = false;
    items.clear();
}

bool ConvChunkBalance::Balance(int chunkCount, const ConvFastLayout& layout,
                               const FeatureMaps& outputs) {
    if (chunkCount == chunks) return balanced;
    chunks = chunkCount;
    balanced = false;
    items.clear();
    if (chunkCount < 2) return false;
    const size_t chunkTotal = static_cast<size_t>(chunkCount);
    const size_t patternCount = layout.patternEntries.size();
    const std::vector<int>& patternOf = layout.patternOf;
    constexpr size_t kWidth = ConvLanes::kWidth;
    // A chunk's work: for every pattern, its length times the lanes its
    // kernels fill, in whole vectors (a vector costs the same with one
    // kernel in it as with eight).
    const auto work = [&](const std::vector<size_t>& kernels) {
        std::vector<size_t> members(patternCount, 0);
        for (const size_t i : kernels) ++members[static_cast<size_t>(patternOf[i])];
        size_t total = 0;
        for (size_t p = 0; p < patternCount; ++p)
            total +=
                layout.patternEntries[p].size() *
                static_cast<size_t>(ConvFastLayout::RoundUpToLanes(static_cast<int>(members[p])));
        return total;
    };
    std::vector<std::vector<size_t>> plain(chunkTotal);
    for (size_t i = 0; i < outputs.size(); ++i) plain[i % chunkTotal].push_back(i);
    size_t plainMost = 0;
    for (const std::vector<size_t>& chunk : plain) plainMost = std::max(plainMost, work(chunk));

    // Pieces of at most one vector of kernels sharing a pattern, largest
    // first, each to the chunk with the least work so far.
    std::vector<std::vector<size_t>> pieces;
    for (size_t p = 0; p < patternCount; ++p) {
        std::vector<size_t> piece;
        for (size_t i = 0; i < outputs.size(); ++i) {
            if (static_cast<size_t>(patternOf[i]) != p) continue;
            piece.push_back(i);
            if (piece.size() < kWidth) continue;
            pieces.push_back(piece);
            piece.clear();
        }
        if (!piece.empty()) pieces.push_back(piece);
    }
    const auto pieceWork = [&](const std::vector<size_t>& piece) {
        return layout.patternEntries[static_cast<size_t>(patternOf[piece.front()])].size() * kWidth;
    };
    std::stable_sort(pieces.begin(), pieces.end(),
                     [&](const std::vector<size_t>& a, const std::vector<size_t>& b) {
                         return pieceWork(a) > pieceWork(b);
                     });
    std::vector<std::vector<size_t>> members(chunkTotal);
    std::vector<size_t> load(chunkTotal, 0);
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
            items.push_back(row < chunk.size() ? outputs[chunk[row]] : FeatureMap{});
    return true;
}

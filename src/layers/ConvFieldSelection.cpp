#include "layers/ConvFieldSelection.h"

#include <algorithm>
#include <opencv2/core.hpp>

#include "common/Bits.h"

void ConvFieldSelection::Reset() {
    knownActive.clear();
    knownFromQueue = false;
}

void ConvFieldSelection::Select(const cv::Mat& resizedMask, float threshold,
                                const ConvGeometry& geometry, const ConvFastLayout& layout,
                                std::vector<ReceptiveField>& fields, DepthLine* lines,
                                std::vector<DepthLine*>* queue, ActiveFields& active) {
    const int width = geometry.inputWidth;
    const int height = geometry.inputHeight;
    const int s = geometry.stride;
    const int pad = layout.pad;
    const size_t words = static_cast<size_t>(width + 63) / 64;
    // Bitmaps of input positions, row by row: the centres of the active
    // fields, then those widened by the window (whose lines are the full
    // square of maxKernelWidth around the centre) across, then down.
    // Field row * outputWidth + column is centred at (s * column + s / 2,
    // s * row + s / 2) (the layout checks it), so its record is not read.
    centreBits.assign(static_cast<size_t>(height) * words, 0);
    size_t activeCount = 0;
    for (int row = 0; row < geometry.outputHeight; ++row) {
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
            bits[i] = above & layout.centreColumns[i];
            activeCount += static_cast<size_t>(PopCount(bits[i]));
        }
    }
    // The active fields in order, with their cells and lanes.
    active.fields.resize(activeCount);
    active.cells.resize(activeCount);
    active.lanes.resize(activeCount);
    size_t f = 0;
    for (int row = 0; row < geometry.outputHeight; ++row) {
        const std::uint64_t* bits =
            centreBits.data() + static_cast<size_t>(s * row + s / 2) * words;
        ReceptiveField* rowFields = fields.data() + static_cast<size_t>(row) * geometry.outputWidth;
        for (size_t i = 0; i < words; ++i) {
            for (std::uint64_t above = bits[i]; above != 0; above &= above - 1, ++f) {
                const int column = static_cast<int>(i * 64 + LowestSetBit(above)) / s;
                active.fields[f] = rowFields + column;
                active.cells[f] = layout.CellAt(row, column);
                active.lanes[f] = layout.LaneAt(row, column);
            }
        }
    }
    if (active.fields.empty()) return;
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
    if (queue != nullptr && !knownFromQueue) {
        knownFromQueue = true;
        knownActive.assign(centreBits.size(), 0);
        for (const DepthLine* line : *queue) {
            const size_t position = static_cast<size_t>(line - lines);
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
                    lines + static_cast<size_t>(y) * width + i * 64 + LowestSetBit(bits);
                line->active = true;
                if (queue != nullptr) queue->push_back(line);
            }
        }
    }
}

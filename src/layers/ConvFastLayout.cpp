#include "layers/ConvFastLayout.h"

#include <algorithm>

namespace {
constexpr int kWidth = ConvLanes::kWidth;
}

ConvFastLayout ConvFastLayout::Make(const ConvGeometry& geometry,
                                    const std::vector<ConvKernel>& kernels,
                                    const std::vector<ReceptiveField>& fields) {
    ConvFastLayout layout;
    const int s = geometry.stride;
    const int width = geometry.inputWidth;
    const int height = geometry.inputHeight;
    const int outWidth = geometry.outputWidth;
    const int outHeight = geometry.outputHeight;
    layout.outputWidth = outWidth;

    const std::vector<cv::Point> offsets = ConvKernel::WindowOffsets(geometry.maxKernelWidth);
    layout.windowCount = static_cast<int>(offsets.size());
    layout.pad = geometry.maxKernelWidth / 2;
    const int windowCount = layout.windowCount;
    bool usable = s >= 1 && outWidth > 0 && outHeight > 0 &&
                  fields.size() == static_cast<size_t>(outWidth) * outHeight;
    // The field selection finds each field's centre from its row and column.
    for (size_t f = 0; usable && f < fields.size(); ++f) {
        const ReceptiveField& field = fields[f];
        usable = field.row == static_cast<int>(f) / outWidth &&
                 field.column == static_cast<int>(f) % outWidth &&
                 field.centerX == s * field.column + s / 2 &&
                 field.centerY == s * field.row + s / 2;
    }
    // The positions of a row that are fields' centres, as bits of 64.
    layout.centreColumns.assign(static_cast<size_t>(width + 63) / 64, 0);
    for (int column = 0; usable && column < outWidth; ++column) {
        const int centerX = s * column + s / 2;
        layout.centreColumns[static_cast<size_t>(centerX) / 64] |= std::uint64_t{1}
                                                                   << (centerX % 64);
    }
    for (const ConvKernel& kernel : kernels)
        for (const int number : kernel.Pattern())
            usable = usable && number >= 0 && number < windowCount;
    layout.usable = usable;
    if (!usable) return layout;

    layout.windowDx.resize(static_cast<size_t>(windowCount));
    layout.windowDy.resize(static_cast<size_t>(windowCount));
    for (int w = 0; w < windowCount; ++w) {
        layout.windowDx[w] = offsets[w].x;
        layout.windowDy[w] = offsets[w].y;
    }

    // Split by phase, a stride-s plane becomes s * s planes in which the
    // centres of neighbouring output positions are neighbours again; the
    // padding keeps every window position of every lane inside the copy.
    const int pad = layout.pad;
    layout.phaseCount = s * s;
    layout.phaseWidth = (width + 2 * pad + s - 1) / s;
    const int phaseWidth = layout.phaseWidth;
    const int phaseHeight = (height + 2 * pad + s - 1) / s;
    layout.tapPhase.resize(static_cast<size_t>(windowCount));
    layout.tapOffset.resize(static_cast<size_t>(windowCount));
    int maxOffset = 0;
    for (int w = 0; w < windowCount; ++w) {
        const int x = s / 2 + pad + layout.windowDx[w];
        const int y = s / 2 + pad + layout.windowDy[w];
        layout.tapPhase[w] = (y % s) * s + x % s;
        layout.tapOffset[w] = (y / s) * phaseWidth + x / s;
        maxOffset = std::max(maxOffset, layout.tapOffset[w]);
    }
    const int laneCount = (outHeight - 1) * phaseWidth + outWidth;
    const int blockCount = (laneCount + kWidth - 1) / kWidth;
    layout.blockCount = blockCount;
    layout.planeSize = std::max(static_cast<size_t>(phaseHeight) * phaseWidth,
                                static_cast<size_t>(blockCount) * kWidth + maxOffset);

    std::vector<std::uint8_t>& validBits = layout.validBits;
    validBits.assign(static_cast<size_t>(blockCount) * windowCount, 0);
    layout.interior.assign(static_cast<size_t>(blockCount), 1);
    layout.wholeWindows.assign(static_cast<size_t>(blockCount), 0);
    for (int q = 0; q < blockCount * kWidth; ++q) {
        const int row = q / phaseWidth;
        const int column = q % phaseWidth;
        if (row >= outHeight || column >= outWidth) continue;
        const int centerX = s * column + s / 2;
        const int centerY = s * row + s / 2;
        const int block = q / kWidth;
        for (int w = 0; w < windowCount; ++w) {
            const int x = centerX + layout.windowDx[w];
            const int y = centerY + layout.windowDy[w];
            if (x >= 0 && x < width && y >= 0 && y < height)
                validBits[static_cast<size_t>(block) * windowCount + w] |=
                    static_cast<std::uint8_t>(1u << (q % kWidth));
            else
                layout.interior[block] = 0;
        }
    }
    for (int block = 0; block < blockCount; ++block) {
        std::uint8_t whole = 0xFF;
        for (int w = 0; w < windowCount; ++w)
            whole &= validBits[static_cast<size_t>(block) * windowCount + w];
        layout.wholeWindows[static_cast<size_t>(block)] = whole;
    }
    layout.cellCount = static_cast<size_t>(outWidth) * outHeight;
    layout.laneCapacity = static_cast<size_t>(blockCount) * kWidth;

    size_t start = 0;
    for (const ConvKernel& kernel : kernels) {
        layout.weightStart.push_back(start);
        start += kernel.Weights().size();
    }
    layout.weightTotal = start;

    // The field that reaches a line through entry j is centred at the line's
    // position minus the entry's offset; fields come in row-major order of
    // their centres, so the smaller the offset (dy first), the later the field.
    std::vector<const std::vector<int>*> patterns;
    for (const ConvKernel& kernel : kernels) {
        size_t p = 0;
        while (p < patterns.size() && *patterns[p] != kernel.Pattern()) ++p;
        layout.patternOf.push_back(static_cast<int>(p));
        if (p < patterns.size()) continue;
        patterns.push_back(&kernel.Pattern());
        std::vector<PatternEntry> entries;
        for (size_t j = 0; j < kernel.Pattern().size(); ++j) {
            const int number = kernel.Pattern()[j];
            entries.push_back(
                {static_cast<int>(j), layout.windowDx[number], layout.windowDy[number]});
        }
        std::sort(entries.begin(), entries.end(), [](const PatternEntry& a, const PatternEntry& b) {
            return a.dy != b.dy ? a.dy < b.dy : a.dx < b.dx;
        });
        layout.patternEntries.push_back(std::move(entries));
    }
    layout.packedStride = static_cast<size_t>(RoundUpToLanes(geometry.inputCount));
    return layout;
}

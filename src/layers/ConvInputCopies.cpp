#include "layers/ConvInputCopies.h"

#include <algorithm>
#include <cstdint>
#include <opencv2/core.hpp>

int ConvInputCopies::Copy::Entries(const ReceptiveField& field, const std::vector<int>& pattern,
                                   const ConvFastLayout& layout, const float** inputs,
                                   int* entries) const {
    constexpr int kWidth = ConvLanes::kWidth;
    const bool padded = kind == Kind::Padded;
    // In the padded planes a window position is a fixed offset from the
    // field's lane, as in the forward pass.
    const size_t lane = layout.LaneOf(field);
    // The lane's bit per window number is set where the field has a line
    // there, so that the field's own list of lines is not read.
    const std::uint8_t* valid = layout.validBits.data() + lane / kWidth * layout.windowCount;
    const unsigned laneBit = 1u << (lane % kWidth);
    int count = 0;
    for (size_t j = 0; j < pattern.size(); ++j) {
        const int number = pattern[j];
        if ((valid[number] & laneBit) == 0) continue;
        if (padded) {
            inputs[count] = values +
                            static_cast<size_t>(layout.tapPhase[number]) * layout.planeSize + lane +
                            layout.tapOffset[number];
        } else if (kind == Kind::Planes) {
            inputs[count] = values +
                            static_cast<size_t>(field.centerY + layout.windowDy[number]) * rowStep +
                            static_cast<size_t>(field.centerX + layout.windowDx[number]);
        } else {
            const size_t position =
                static_cast<size_t>(field.centerY + layout.windowDy[number]) * rowStep +
                (field.centerX + layout.windowDx[number]);
            inputs[count] = values + position * layout.packedStride;
        }
        entries[count] = static_cast<int>(j);
        ++count;
    }
    return count;
}

void ConvInputCopies::Configure(int inputCount) {
    inputRows.assign(static_cast<size_t>(inputCount), nullptr);
    inputSteps.assign(static_cast<size_t>(inputCount), 0);
}

void ConvInputCopies::Allocate(const ConvGeometry& geometry, const ConvFastLayout& layout) {
    const size_t positions = static_cast<size_t>(geometry.inputWidth) * geometry.inputHeight;
    planes.assign(static_cast<size_t>(geometry.inputCount) * layout.phaseCount * layout.planeSize,
                  0.0f);
    packedInputs.assign(positions * layout.packedStride, 0.0f);
}

void ConvInputCopies::Release() {
    for (std::vector<float>* buffer : {&planes, &packedInputs}) {
        buffer->clear();
        buffer->shrink_to_fit();
    }
    inputRows.clear();
    inputSteps.clear();
}

void ConvInputCopies::Link(const FeatureMaps& inputs, const ConvFastLayout& layout,
                           int inputHeight) {
    for (size_t k = 0; k < inputRows.size(); ++k) {
        inputRows[k] = inputs[k].image->ptr<float>(0);
        inputSteps[k] = inputs[k].image->step1();
    }
    // The gathered layout reads the planes themselves when they share one
    // row step (they do when each is continuous) and offsets fit 32 bits.
    const size_t step = inputSteps.empty() ? 0 : inputSteps.front();
    gatherFromPlanes = !inputSteps.empty() &&
                       std::all_of(inputSteps.begin(), inputSteps.end(),
                                   [step](size_t other) { return other == step; }) &&
                       step * static_cast<size_t>(inputHeight + 2 * layout.pad) < (size_t{1} << 30);
    // Planes that follow each other at one distance (a layer's own output
    // planes are made so) can stand in for the update's copy.
    // (Compared as addresses: the planes may belong to separate blocks.)
    const auto address = [this](size_t k) {
        return reinterpret_cast<std::uintptr_t>(inputRows[k]);
    };
    planesInOneBlock = gatherFromPlanes && inputRows.size() > 1 && address(1) > address(0) &&
                       (address(1) - address(0)) % sizeof(float) == 0;
    planeDistance = planesInOneBlock ? (address(1) - address(0)) / sizeof(float) : 0;
    for (size_t k = 1; k < inputRows.size() && planesInOneBlock; ++k)
        planesInOneBlock = address(k) == address(0) + k * planeDistance * sizeof(float);
    windowShift.assign(static_cast<size_t>(layout.windowCount), 0);
    for (int w = 0; w < layout.windowCount && gatherFromPlanes; ++w)
        windowShift[static_cast<size_t>(w)] =
            layout.windowDy[w] * static_cast<int>(step) + layout.windowDx[w];
}

bool ConvInputCopies::LinkedTo(const FeatureMaps& inputs) const {
    if (inputs.size() != inputRows.size()) return false;
    for (size_t k = 0; k < inputRows.size(); ++k)
        if (inputs[k].image->ptr<float>(0) != inputRows[k] ||
            inputs[k].image->step1() != inputSteps[k])
            return false;
    return true;
}

ConvInputCopies::Copy ConvInputCopies::Padded(const ConvGeometry& geometry,
                                              const ConvFastLayout& layout) {
    const int s = geometry.stride;
    const int width = geometry.inputWidth;
    const int pad = layout.pad;
    const size_t planeSize = layout.planeSize;
    for (size_t k = 0; k < inputRows.size(); ++k) {
        float* inputPlanes = planes.data() + k * layout.phaseCount * planeSize;
        for (int y = 0; y < geometry.inputHeight; ++y) {
            const float* source = inputRows[k] + static_cast<size_t>(y) * inputSteps[k];
            const int paddedY = y + pad;
            float* phaseRows = inputPlanes + static_cast<size_t>((paddedY % s) * s) * planeSize +
                               static_cast<size_t>(paddedY / s) * layout.phaseWidth;
            // Column x lands in phase (x + pad) % s, at (x + pad) / s.
            for (int first = 0; first < s && first < width; ++first) {
                const int paddedX = first + pad;
                float* target =
                    phaseRows + static_cast<size_t>(paddedX % s) * planeSize + paddedX / s;
                if (s == 1)
                    std::copy(source, source + width, target);
                else if (s == 2)
                    for (int x = first; x < width; x += 2) *target++ = source[x];
                else
                    for (int x = first; x < width; x += s) *target++ = source[x];
            }
        }
    }
    Copy copy;
    copy.kind = Copy::Kind::Padded;
    copy.values = planes.data();
    copy.stride = planeSize * static_cast<size_t>(layout.phaseCount);
    return copy;
}

ConvInputCopies::Copy ConvInputCopies::Packed(const ConvLanes& lanes, const ConvGeometry& geometry,
                                              const ConvFastLayout& layout) {
    const int n = static_cast<int>(inputRows.size());
    thread_local std::vector<const float*> rows;
    rows.resize(inputRows.size());
    // Row by row: the maps' rows interleave into positions of packedStride floats.
    for (int y = 0; y < geometry.inputHeight; ++y) {
        for (size_t k = 0; k < inputRows.size(); ++k)
            rows[k] = inputRows[k] + static_cast<size_t>(y) * inputSteps[k];
        lanes.interleave(packedInputs.data() +
                             static_cast<size_t>(y) * geometry.inputWidth * layout.packedStride,
                         rows.data(), n, static_cast<int>(layout.packedStride),
                         geometry.inputWidth);
    }
    Copy copy;
    copy.kind = Copy::Kind::Packed;
    copy.values = packedInputs.data();
    copy.rowStep = static_cast<size_t>(geometry.inputWidth);
    return copy;
}

ConvInputCopies::Copy ConvInputCopies::InPlace() const {
    Copy copy;
    copy.kind = Copy::Kind::Planes;
    copy.values = inputRows.front();
    copy.stride = planeDistance;
    copy.rowStep = inputSteps.front();
    return copy;
}

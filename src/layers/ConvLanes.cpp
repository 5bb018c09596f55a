#include "layers/ConvLanes.h"

namespace {

constexpr int kWidth = ConvLanes::kWidth;

void ForwardSumsPortable(const ConvLanes::ForwardJob& job, float* sums) {
    const int n = job.inputCount;
    const size_t inputStride = job.planeSize * static_cast<size_t>(job.phaseCount);
    for (int i = 0; i < job.blockCount; ++i) {
        const int block = job.blocks[i];
        const std::uint8_t* valid = job.validBits + static_cast<size_t>(block) * job.windowCount;
        float* sum = sums + static_cast<size_t>(i) * kWidth;
        for (int lane = 0; lane < kWidth; ++lane) sum[lane] = 0.0f;
        // Every lane keeps its own running sum in pattern order, skipping the
        // window positions outside the input, as the scalar kernel does.
        for (int j = 0; j < job.patternLength; ++j) {
            const int number = job.pattern[j];
            const float* tap = job.planes +
                               static_cast<size_t>(job.tapPhase[number]) * job.planeSize +
                               static_cast<size_t>(block) * kWidth + job.tapOffset[number];
            const float* entryWeights = job.weights + static_cast<size_t>(j) * n;
            for (int lane = 0; lane < kWidth; ++lane) {
                if ((valid[number] >> lane & 1) == 0) continue;
                for (int k = 0; k < n; ++k)
                    sum[lane] = tap[k * inputStride + lane] * entryWeights[k] + sum[lane];
            }
        }
    }
}

void GroupRespondPortable(const ConvLanes::GroupJob& job, float* sums) {
    const int n = job.inputCount;
    for (int g = 0; g < job.laneCount; ++g) sums[g] = 0.0f;
    // Each lane's sum runs through the listed entries and their inputs in order.
    for (int e = 0; e < job.entryCount; ++e) {
        const float* in = job.inputs[e];
        const float* row = job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount;
        for (int k = 0; k < n; ++k, row += job.laneCount)
            for (int g = 0; g < job.laneCount; ++g) sums[g] = in[k] * row[g] + sums[g];
    }
}

void GroupUpdatePortable(const ConvLanes::GroupJob& job, const float* steps) {
    const int n = job.inputCount;
    for (int e = 0; e < job.entryCount; ++e) {
        const float* in = job.inputs[e];
        float* row = job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount;
        for (int k = 0; k < n; ++k, row += job.laneCount)
            for (int g = 0; g < job.laneCount; ++g) row[g] = steps[g] * in[k] + row[g];
    }
}

void ScaleRowPortable(float* out, const float* weights, float factor, int count) {
    for (int k = 0; k < count; ++k) out[k] = factor * weights[k];
}

void AddRowPortable(float* row, const float* add, int count) {
    for (int k = 0; k < count; ++k) row[k] = row[k] + add[k];
}

}  // namespace

const ConvLanes& ConvLanes::Portable() {
    static const ConvLanes table{ForwardSumsPortable, GroupRespondPortable, GroupUpdatePortable,
                                 ScaleRowPortable, AddRowPortable};
    return table;
}

const ConvLanes& ConvLanes::Best() {
    static const ConvLanes& best = Avx2() != nullptr ? *Avx2() : Portable();
    return best;
}

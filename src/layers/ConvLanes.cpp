#include "layers/ConvLanes.h"

#include <cmath>

#include "common/Formulas.h"

namespace {

constexpr int kWidth = ConvLanes::kWidth;

void ForwardSumsPortable(const ConvLanes::ForwardJob& job, float* sums) {
    const int n = job.inputCount;
    const size_t inputStride = job.planeSize * static_cast<size_t>(job.phaseCount);
    for (int kernel = 0; kernel < job.kernelCount; ++kernel) {
        const float* weights = job.weights[kernel];
        for (int i = 0; i < job.blockCount; ++i) {
            const int block = job.blocks[i];
            const std::uint8_t* valid =
                job.validBits + static_cast<size_t>(block) * job.windowCount;
            float* sum = sums + (static_cast<size_t>(kernel) * job.blockCount + i) * kWidth;
            for (int lane = 0; lane < kWidth; ++lane) sum[lane] = 0.0f;
            // Every lane keeps its own running sum in pattern order, skipping
            // the window positions outside the input, as the scalar kernel does.
            for (int j = 0; j < job.patternLength; ++j) {
                const int number = job.pattern[j];
                const float* tap = job.planes +
                                   static_cast<size_t>(job.tapPhase[number]) * job.planeSize +
                                   static_cast<size_t>(block) * kWidth + job.tapOffset[number];
                const float* entryWeights = weights + static_cast<size_t>(j) * n;
                for (int lane = 0; lane < kWidth; ++lane) {
                    if ((valid[number] >> lane & 1) == 0) continue;
                    for (int k = 0; k < n; ++k)
                        sum[lane] = tap[k * inputStride + lane] * entryWeights[k] + sum[lane];
                }
            }
        }
    }
}

void GatherColumnsPortable(const ConvLanes::GatherJob& job, float* columns) {
    if (job.sources != nullptr) {
        const size_t laneCount = static_cast<size_t>(job.blockCount) * kWidth;
        for (int i = 0; i < job.windowCount; ++i) {
            const int number = job.windows[i];
            for (int k = 0; k < job.inputCount; ++k) {
                float* column = columns + (static_cast<size_t>(i) * job.inputCount + k) * laneCount;
                for (size_t lane = 0; lane < laneCount; ++lane) {
                    const std::uint8_t bits =
                        job.valid[lane / kWidth * static_cast<size_t>(job.validStride) +
                                  static_cast<size_t>(number)];
                    column[lane] =
                        (bits >> (lane % kWidth) & 1) != 0
                            ? job.sources[k][job.sourceLanes[lane] + job.windowShift[number]]
                            : 0.0f;
                }
            }
        }
        return;
    }
    for (int i = 0; i < job.windowCount; ++i) {
        const int number = job.windows[i];
        for (int k = 0; k < job.inputCount; ++k) {
            const float* tap =
                job.planes +
                (static_cast<size_t>(k) * job.phaseCount + job.tapPhase[number]) * job.planeSize +
                job.tapOffset[number];
            float* column =
                columns + (static_cast<size_t>(i) * job.inputCount + k) * job.blockCount * kWidth;
            for (int lane = 0; lane < job.blockCount * kWidth; ++lane)
                column[lane] = tap[job.lanes[lane]];
        }
    }
}

bool ActivatePortable(const float* sums, const int* blocks, int count,
                      const std::uint8_t* activeBits, float bias, float slope, float* activations) {
    for (int i = 0; i < count; ++i) {
        const int block = blocks[i];
        for (int lane = 0; lane < kWidth; ++lane) {
            const float sum = sums[i * kWidth + lane];
            if (std::isnan(sum) && (activeBits[block] >> lane & 1) != 0) return false;
            activations[block * kWidth + lane] = KernelActivation(bias, sum, slope);
        }
    }
    return true;
}

void GroupRespondPortable(const ConvLanes::GroupJob& job, float* sums) {
    const int n = job.inputCount;
    for (int g = 0; g < job.laneCount; ++g) sums[g] = 0.0f;
    // Each lane's sum runs through the listed entries and their inputs in order.
    for (int e = 0; e < job.entryCount; ++e) {
        const float* in = job.inputs[e];
        const float* row = job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount;
        for (int k = 0; k < n; ++k, row += job.laneCount)
            for (int g = 0; g < job.laneCount; ++g)
                sums[g] = in[k * job.inputStride] * row[g] + sums[g];
    }
}

void BundleRespondPortable(const ConvLanes::GroupJob* jobs, int jobCount, float* sums) {
    for (int j = 0; j < jobCount; ++j) GroupRespondPortable(jobs[j], sums + j * kWidth);
}

void BundleUpdatePortable(const ConvLanes::GroupJob* jobs, int jobCount, bool fused, float* sums) {
    for (int j = 0; j < jobCount; ++j) {
        const ConvLanes::GroupJob& job = jobs[j];
        const int n = job.inputCount;
        for (int e = 0; e < job.entryCount; ++e) {
            const float* in = job.inputs[e];
            float* row = job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount;
            for (int k = 0; k < n; ++k, row += job.laneCount)
                for (int g = 0; g < job.laneCount; ++g)
                    row[g] = job.steps[g] * in[k * job.inputStride] + row[g];
        }
        if (!fused) continue;
        ConvLanes::GroupJob next = job;
        next.inputs = job.nextInputs;
        GroupRespondPortable(next, sums + j * kWidth);
    }
}

void LineSharesPortable(float* shares, float* sum, const float* const* sources,
                        const float* factors, int outputs, int count, bool storeRows) {
    for (int k = 0; k < count; ++k) sum[k] = 0.0f;
    for (int i = 0; i < outputs; ++i) {
        float* row = shares + static_cast<size_t>(i) * count;
        const float* source = sources[i];
        for (int k = 0; k < count; ++k) {
            float share = row[k];
            if (source != nullptr) {
                share = factors[i] * source[k];
                if (storeRows) row[k] = share;
            }
            sum[k] = sum[k] + share;
        }
    }
}

void AddRowsPortable(float* const* rows, const float* sums, int count, std::uint8_t active) {
    for (int lane = 0; lane < kWidth; ++lane) {
        if ((active >> lane & 1) == 0) continue;
        for (int k = 0; k < count; ++k) {
            float& value = rows[k][lane];
            value = ClampToUnit(value + sums[lane * count + k]);
        }
    }
}

void InterleavePortable(float* weights, const float* const* sources, int members, int laneCount,
                        int count) {
    for (int i = 0; i < count; ++i) {
        float* row = weights + static_cast<size_t>(i) * laneCount;
        for (int g = 0; g < laneCount; ++g) row[g] = g < members ? sources[g][i] : 0.0f;
    }
}

void DeinterleavePortable(float* const* destinations, const float* weights, int members,
                          int laneCount, int count) {
    for (int i = 0; i < count; ++i) {
        const float* row = weights + static_cast<size_t>(i) * laneCount;
        for (int g = 0; g < members; ++g) destinations[g][i] = row[g];
    }
}

bool AllFinitePortable(const float* weights, int members, int laneCount, int count) {
    for (int i = 0; i < count; ++i) {
        const float* row = weights + static_cast<size_t>(i) * laneCount;
        for (int g = 0; g < members; ++g)
            if (!std::isfinite(row[g])) return false;
    }
    return true;
}

}  // namespace

const ConvLanes& ConvLanes::Portable() {
    static const ConvLanes table{ForwardSumsPortable,  GatherColumnsPortable, ActivatePortable,
                                 GroupRespondPortable, BundleRespondPortable, BundleUpdatePortable,
                                 LineSharesPortable,   AddRowsPortable,       InterleavePortable,
                                 DeinterleavePortable, AllFinitePortable};
    return table;
}

const ConvLanes& ConvLanes::Best() {
    static const ConvLanes& best = Avx512() != nullptr ? *Avx512()
                                   : Avx2() != nullptr ? *Avx2()
                                                       : Portable();
    return best;
}

// The AVX2 versions of the fast convolution loops. Compiled for the baseline
// processor like everything else; only these functions carry the AVX2
// target, and ConvLanes::Avx2 hands them out only where the processor has it.
// Separate multiply and add throughout: a fused multiply-add rounds once
// instead of twice and would change the results.
#include "layers/ConvLanes.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

#include <immintrin.h>

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// All bits set in the lanes whose bit is set in `bits`.
__attribute__((target("avx2"))) inline __m256 LaneMask(std::uint8_t bits) {
    const __m256i lanes = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i selected = _mm256_and_si256(_mm256_set1_epi32(bits), lanes);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(selected, lanes));
}

// kBlocks blocks of the list at once, so that as many independent sums are
// in flight and the adds do not wait for each other.
template <int kBlocks>
__attribute__((target("avx2"))) inline void ForwardBlocks(const ConvLanes::ForwardJob& job,
                                                          int first, float* sums) {
    const int n = job.inputCount;
    const size_t inputStride = job.planeSize * static_cast<size_t>(job.phaseCount);
    size_t start[kBlocks];
    const std::uint8_t* valid[kBlocks];
    bool interior = true;
    for (int b = 0; b < kBlocks; ++b) {
        const int block = job.blocks[first + b];
        start[b] = static_cast<size_t>(block) * kWidth;
        valid[b] = job.validBits + static_cast<size_t>(block) * job.windowCount;
        interior = interior && job.interior[block] != 0;
    }
    __m256 sum[kBlocks];
    for (int b = 0; b < kBlocks; ++b) sum[b] = _mm256_setzero_ps();

    // Every lane keeps its own running sum in pattern-entry-major, input-minor
    // order, so each equals the scalar kernel's sum bit for bit; a lane whose
    // window position lies outside the input keeps its sum as it was.
    for (int j = 0; j < job.patternLength; ++j) {
        const int number = job.pattern[j];
        const float* tap = job.planes + static_cast<size_t>(job.tapPhase[number]) * job.planeSize +
                           job.tapOffset[number];
        const float* entryWeights = job.weights + static_cast<size_t>(j) * n;
        if (interior) {
            for (int k = 0; k < n; ++k) {
                const __m256 weight = _mm256_broadcast_ss(entryWeights + k);
                const float* input = tap + static_cast<size_t>(k) * inputStride;
                for (int b = 0; b < kBlocks; ++b) {
                    const __m256 product = _mm256_mul_ps(_mm256_loadu_ps(input + start[b]), weight);
                    sum[b] = _mm256_add_ps(product, sum[b]);
                }
            }
            continue;
        }
        __m256 inside[kBlocks];
        bool anyInside = false;
        for (int b = 0; b < kBlocks; ++b) {
            inside[b] = LaneMask(valid[b][number]);
            anyInside = anyInside || valid[b][number] != 0;
        }
        if (!anyInside) continue;
        for (int k = 0; k < n; ++k) {
            const __m256 weight = _mm256_broadcast_ss(entryWeights + k);
            const float* input = tap + static_cast<size_t>(k) * inputStride;
            for (int b = 0; b < kBlocks; ++b) {
                const __m256 product = _mm256_mul_ps(_mm256_loadu_ps(input + start[b]), weight);
                sum[b] = _mm256_blendv_ps(sum[b], _mm256_add_ps(product, sum[b]), inside[b]);
            }
        }
    }
    for (int b = 0; b < kBlocks; ++b)
        _mm256_storeu_ps(sums + static_cast<size_t>(first + b) * kWidth, sum[b]);
}

__attribute__((target("avx2"))) void ForwardSumsAvx2(const ConvLanes::ForwardJob& job,
                                                     float* sums) {
    int first = 0;
    for (; first + 4 <= job.blockCount; first += 4) ForwardBlocks<4>(job, first, sums);
    for (; first < job.blockCount; ++first) ForwardBlocks<1>(job, first, sums);
}

// kVectors vectors of lanes starting at `lane`, kept in registers over the
// whole sum.
template <int kVectors>
__attribute__((target("avx2"))) inline void RespondLanes(const ConvLanes::GroupJob& job, int lane,
                                                         float* sums) {
    const int n = job.inputCount;
    __m256 sum[kVectors];
    for (int v = 0; v < kVectors; ++v) sum[v] = _mm256_setzero_ps();
    // Each lane is one kernel: its sum runs through the listed entries and
    // their inputs in order, like the scalar kernel's.
    for (int e = 0; e < job.entryCount; ++e) {
        const float* in = job.inputs[e];
        const float* row =
            job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount + lane;
        for (int k = 0; k < n; ++k, row += job.laneCount) {
            const __m256 input = _mm256_broadcast_ss(in + k);
            for (int v = 0; v < kVectors; ++v) {
                const __m256 product = _mm256_mul_ps(input, _mm256_loadu_ps(row + v * kWidth));
                sum[v] = _mm256_add_ps(product, sum[v]);
            }
        }
    }
    for (int v = 0; v < kVectors; ++v) _mm256_storeu_ps(sums + lane + v * kWidth, sum[v]);
}

__attribute__((target("avx2"))) void GroupRespondAvx2(const ConvLanes::GroupJob& job, float* sums) {
    int lane = 0;
    for (; lane + 4 * kWidth <= job.laneCount; lane += 4 * kWidth) RespondLanes<4>(job, lane, sums);
    switch ((job.laneCount - lane) / kWidth) {
        case 3:
            RespondLanes<3>(job, lane, sums);
            break;
        case 2:
            RespondLanes<2>(job, lane, sums);
            break;
        case 1:
            RespondLanes<1>(job, lane, sums);
            break;
        default:
            break;
    }
}

__attribute__((target("avx2"))) void GroupUpdateAvx2(const ConvLanes::GroupJob& job,
                                                     const float* steps) {
    const int n = job.inputCount;
    // Weights are independent of each other: one step per lane, no order to keep.
    for (int e = 0; e < job.entryCount; ++e) {
        const float* in = job.inputs[e];
        float* row = job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount;
        for (int k = 0; k < n; ++k, row += job.laneCount) {
            const __m256 input = _mm256_broadcast_ss(in + k);
            for (int lane = 0; lane < job.laneCount; lane += kWidth) {
                const __m256 change = _mm256_mul_ps(_mm256_loadu_ps(steps + lane), input);
                _mm256_storeu_ps(row + lane, _mm256_add_ps(change, _mm256_loadu_ps(row + lane)));
            }
        }
    }
}

__attribute__((target("avx2"))) void ScaleRowAvx2(float* out, const float* weights, float factor,
                                                  int count) {
    const __m256 scale = _mm256_set1_ps(factor);
    int k = 0;
    for (; k + kWidth <= count; k += kWidth)
        _mm256_storeu_ps(out + k, _mm256_mul_ps(scale, _mm256_loadu_ps(weights + k)));
    for (; k < count; ++k) out[k] = factor * weights[k];
}

__attribute__((target("avx2"))) void AddRowAvx2(float* row, const float* add, int count) {
    int k = 0;
    for (; k + kWidth <= count; k += kWidth)
        _mm256_storeu_ps(row + k,
                         _mm256_add_ps(_mm256_loadu_ps(row + k), _mm256_loadu_ps(add + k)));
    for (; k < count; ++k) row[k] = row[k] + add[k];
}

}  // namespace

const ConvLanes* ConvLanes::Avx2() {
    static const ConvLanes table{ForwardSumsAvx2, GroupRespondAvx2, GroupUpdateAvx2, ScaleRowAvx2,
                                 AddRowAvx2};
    static const bool supported = __builtin_cpu_supports("avx2") != 0;
    return supported ? &table : nullptr;
}

#else

const ConvLanes* ConvLanes::Avx2() { return nullptr; }

#endif

// The AVX2 loops of the fast forward pass: the sums of blocks of
// neighbouring positions, the gathering of scattered lanes, the activation.
#include "layers/ConvLanesAvx2.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// A tile of kBlocks listed blocks times kKernels kernels: every input load
// serves all kernels and every weight all blocks, and the kBlocks * kKernels
// sums are independent, so the adds do not wait for each other.
template <int kBlocks, int kKernels>
__attribute__((target("avx2"))) inline void ForwardTile(const ConvLanes::ForwardJob& job,
                                                        int firstKernel, int first, float* sums) {
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
    const float* weights[kKernels];
    for (int t = 0; t < kKernels; ++t) weights[t] = job.weights[firstKernel + t];
    __m256 sum[kKernels][kBlocks];
    for (int t = 0; t < kKernels; ++t)
        for (int b = 0; b < kBlocks; ++b) sum[t][b] = _mm256_setzero_ps();

    // Every lane keeps its own running sum in pattern-entry-major, input-minor
    // order, so each equals the scalar kernel's sum bit for bit; a lane whose
    // window position lies outside the input keeps its sum as it was.
    for (int j = 0; j < job.patternLength; ++j) {
        const int number = job.pattern[j];
        const float* tap = job.planes + static_cast<size_t>(job.tapPhase[number]) * job.planeSize +
                           job.tapOffset[number];
        const size_t entry = static_cast<size_t>(j) * n;
        if (interior) {
            for (int k = 0; k < n; ++k) {
                const float* input = tap + static_cast<size_t>(k) * inputStride;
                __m256 values[kBlocks];
                for (int b = 0; b < kBlocks; ++b) values[b] = _mm256_loadu_ps(input + start[b]);
                for (int t = 0; t < kKernels; ++t) {
                    const __m256 weight = _mm256_broadcast_ss(weights[t] + entry + k);
                    for (int b = 0; b < kBlocks; ++b)
                        sum[t][b] = _mm256_add_ps(_mm256_mul_ps(values[b], weight), sum[t][b]);
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
            const float* input = tap + static_cast<size_t>(k) * inputStride;
            __m256 values[kBlocks];
            for (int b = 0; b < kBlocks; ++b) values[b] = _mm256_loadu_ps(input + start[b]);
            for (int t = 0; t < kKernels; ++t) {
                const __m256 weight = _mm256_broadcast_ss(weights[t] + entry + k);
                for (int b = 0; b < kBlocks; ++b) {
                    const __m256 added = _mm256_add_ps(_mm256_mul_ps(values[b], weight), sum[t][b]);
                    sum[t][b] = _mm256_blendv_ps(sum[t][b], added, inside[b]);
                }
            }
        }
    }
    for (int t = 0; t < kKernels; ++t)
        for (int b = 0; b < kBlocks; ++b)
            _mm256_storeu_ps(
                sums + (static_cast<size_t>(firstKernel + t) * job.blockCount + first + b) * kWidth,
                sum[t][b]);
}

// All listed blocks for kKernels kernels: tiles of up to eight sums.
template <int kKernels>
__attribute__((target("avx2"))) inline void ForwardKernels(const ConvLanes::ForwardJob& job,
                                                           int firstKernel, float* sums) {
    constexpr int kBlocks = kKernels >= 4 ? 2 : 4;
    int first = 0;
    for (; first + kBlocks <= job.blockCount; first += kBlocks)
        ForwardTile<kBlocks, kKernels>(job, firstKernel, first, sums);
    if (kBlocks == 4 && first + 2 <= job.blockCount) {
        ForwardTile<2, kKernels>(job, firstKernel, first, sums);
        first += 2;
    }
    for (; first < job.blockCount; ++first) ForwardTile<1, kKernels>(job, firstKernel, first, sums);
}

// GatherColumns from the layer's own input planes: a plain load where a
// block's lanes are neighbours there and all inside, else a masked gather.
__attribute__((target("avx2"))) void GatherSourceColumns(const ConvLanes::GatherJob& job,
                                                         float* columns) {
    const size_t blockFloats = static_cast<size_t>(job.blockCount) * kWidth;
    constexpr int kMostBlocks = 64;
    bool neighbours[kMostBlocks];
    const __m256i steps = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (int b = 0; b < job.blockCount && b < kMostBlocks; ++b) {
        const std::int32_t* lanes = job.sourceLanes + static_cast<size_t>(b) * kWidth;
        const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes));
        const __m256i run = _mm256_add_epi32(_mm256_set1_epi32(lanes[0]), steps);
        neighbours[b] =
            _mm256_movemask_epi8(_mm256_cmpeq_epi32(at, run)) == static_cast<int>(0xFFFFFFFFu);
    }
    for (int i = 0; i < job.windowCount; ++i) {
        const int number = job.windows[i];
        const __m256i shift = _mm256_set1_epi32(job.windowShift[number]);
        for (int k = 0; k < job.inputCount; ++k) {
            const float* plane = job.sources[k];
            float* column = columns + (static_cast<size_t>(i) * job.inputCount + k) * blockFloats;
            for (int b = 0; b < job.blockCount; ++b) {
                const size_t lane = static_cast<size_t>(b) * kWidth;
                const std::uint8_t bits =
                    job.valid[static_cast<size_t>(b) * job.validStride + number];
                if (bits == 0xFF && b < kMostBlocks && neighbours[b]) {
                    _mm256_storeu_ps(column + lane, _mm256_loadu_ps(plane + job.sourceLanes[lane] +
                                                                    job.windowShift[number]));
                    continue;
                }
                const __m256i at = _mm256_add_epi32(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(job.sourceLanes + lane)),
                    shift);
                _mm256_storeu_ps(column + lane, _mm256_mask_i32gather_ps(_mm256_setzero_ps(), plane,
                                                                         at, LaneMask(bits), 4));
            }
        }
    }
}

}  // namespace

__attribute__((target("avx2"))) void ForwardSumsAvx2(const ConvLanes::ForwardJob& job,
                                                     float* sums) {
    int kernel = 0;
    for (; kernel + 4 <= job.kernelCount; kernel += 4) ForwardKernels<4>(job, kernel, sums);
    if (kernel + 2 <= job.kernelCount) {
        ForwardKernels<2>(job, kernel, sums);
        kernel += 2;
    }
    if (kernel < job.kernelCount) ForwardKernels<1>(job, kernel, sums);
}

__attribute__((target("avx2"))) void GatherColumnsAvx2(const ConvLanes::GatherJob& job,
                                                       float* columns) {
    if (job.sources != nullptr) {
        GatherSourceColumns(job, columns);
        return;
    }
    const size_t blockFloats = static_cast<size_t>(job.blockCount) * kWidth;
    // Blocks whose lanes are neighbours in the planes take one plain load.
    constexpr int kMostBlocks = 64;
    bool neighbours[kMostBlocks];
    const __m256i steps = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (int b = 0; b < job.blockCount; ++b) {
        const std::int32_t* lanes = job.lanes + static_cast<size_t>(b) * kWidth;
        const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes));
        const __m256i run = _mm256_add_epi32(_mm256_set1_epi32(lanes[0]), steps);
        neighbours[b % kMostBlocks] =
            b < kMostBlocks &&
            _mm256_movemask_epi8(_mm256_cmpeq_epi32(at, run)) == static_cast<int>(0xFFFFFFFFu);
    }
    for (int i = 0; i < job.windowCount; ++i) {
        const int number = job.windows[i];
        for (int k = 0; k < job.inputCount; ++k) {
            const float* tap =
                job.planes +
                (static_cast<size_t>(k) * job.phaseCount + job.tapPhase[number]) * job.planeSize +
                job.tapOffset[number];
            float* column = columns + (static_cast<size_t>(i) * job.inputCount + k) * blockFloats;
            for (int b = 0; b < job.blockCount; ++b) {
                const size_t lane = static_cast<size_t>(b) * kWidth;
                if (b < kMostBlocks && neighbours[b]) {
                    _mm256_storeu_ps(column + lane, _mm256_loadu_ps(tap + job.lanes[lane]));
                    continue;
                }
                const __m256i at =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(job.lanes + lane));
                _mm256_storeu_ps(column + lane, _mm256_i32gather_ps(tap, at, 4));
            }
        }
    }
}

__attribute__((target("avx2"))) bool ActivateAvx2(const float* sums, const int* blocks, int count,
                                                  const std::uint8_t* activeBits, float bias,
                                                  float slope, float* activations) {
    const __m256 biases = _mm256_set1_ps(bias);
    const __m256 slopes = _mm256_set1_ps(slope);
    for (int i = 0; i < count; ++i) {
        const int block = blocks[i];
        const __m256 sum = _mm256_loadu_ps(sums + i * kWidth);
        if ((_mm256_movemask_ps(_mm256_cmp_ps(sum, sum, _CMP_UNORD_Q)) & activeBits[block]) != 0)
            return false;
        _mm256_storeu_ps(activations + static_cast<size_t>(block) * kWidth,
                         KernelActivation8(biases, sum, slopes));
    }
    return true;
}

#endif

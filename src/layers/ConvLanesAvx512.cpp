// The AVX-512 table: the AVX2 loops, with the forward sums on registers of
// sixteen lanes that hold two blocks of kWidth lanes each, so that one
// multiply and one add serve two blocks. (Gathering the window columns two
// blocks at a time measured slower than the AVX2 loop, block by block.)
// Compiled for the baseline processor like everything else; only these
// functions carry the AVX-512 target, and ConvLanes::Avx512 hands them out
// only where the processor has it. Separate multiply and add throughout, as
// in the AVX2 loops.
#include "layers/ConvLanes.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

#include <immintrin.h>

// GCC 12's own AVX-512 headers fill the unused half of a widened or narrowed
// register with an "undefined" value that its flow analysis then reports.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// Two listed blocks side by side in one register. The second may be missing
// (the list's last block alone); its lanes then repeat the first block's and
// are never stored.
struct BlockPair {
    size_t start[2];
    const std::uint8_t* valid[2];
    bool both;
    bool adjacent;  // the second block's lanes follow the first's in the planes
};

__attribute__((target("avx512f,avx512dq"))) inline __m512 LoadPair(const float* input,
                                                                   const BlockPair& pair) {
    if (pair.adjacent) return _mm512_loadu_ps(input + pair.start[0]);
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(input + pair.start[0])),
                              _mm256_loadu_ps(input + pair.start[1]), 1);
}

// A tile of kPairs pairs of listed blocks times kKernels kernels, as the AVX2
// tile: every input load serves all kernels and every weight all blocks, and
// the sums are independent, so the adds do not wait for each other.
template <int kPairs, int kKernels>
__attribute__((target("avx512f,avx512dq"))) inline void ForwardTile(
    const ConvLanes::ForwardJob& job, int firstKernel, int first, float* sums) {
    const int n = job.inputCount;
    const size_t inputStride = job.planeSize * static_cast<size_t>(job.phaseCount);
    BlockPair pairs[kPairs];
    bool interior = true;
    for (int p = 0; p < kPairs; ++p) {
        BlockPair& pair = pairs[p];
        const int listed = first + 2 * p;
        pair.both = listed + 1 < job.blockCount;
        for (int half = 0; half < 2; ++half) {
            const int block = job.blocks[pair.both ? listed + half : listed];
            pair.start[half] = static_cast<size_t>(block) * kWidth;
            pair.valid[half] = job.validBits + static_cast<size_t>(block) * job.windowCount;
            interior = interior && job.interior[block] != 0;
        }
        pair.adjacent = pair.both && pair.start[1] == pair.start[0] + kWidth;
    }
    const float* weights[kKernels];
    for (int t = 0; t < kKernels; ++t) weights[t] = job.weights[firstKernel + t];
    __m512 sum[kKernels][kPairs];
    for (int t = 0; t < kKernels; ++t)
        for (int p = 0; p < kPairs; ++p) sum[t][p] = _mm512_setzero_ps();

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
                __m512 values[kPairs];
                for (int p = 0; p < kPairs; ++p) values[p] = LoadPair(input, pairs[p]);
                for (int t = 0; t < kKernels; ++t) {
                    const __m512 weight =
                        _mm512_set1_ps(weights[t][entry + static_cast<size_t>(k)]);
                    for (int p = 0; p < kPairs; ++p)
                        sum[t][p] = _mm512_add_ps(_mm512_mul_ps(values[p], weight), sum[t][p]);
                }
            }
            continue;
        }
        __mmask16 inside[kPairs];
        bool anyInside = false;
        for (int p = 0; p < kPairs; ++p) {
            const unsigned high = pairs[p].both ? pairs[p].valid[1][number] : 0u;
            inside[p] = static_cast<__mmask16>(pairs[p].valid[0][number] | high << 8);
            anyInside = anyInside || inside[p] != 0;
        }
        if (!anyInside) continue;
        for (int k = 0; k < n; ++k) {
            const float* input = tap + static_cast<size_t>(k) * inputStride;
            __m512 values[kPairs];
            for (int p = 0; p < kPairs; ++p) values[p] = LoadPair(input, pairs[p]);
            for (int t = 0; t < kKernels; ++t) {
                const __m512 weight = _mm512_set1_ps(weights[t][entry + static_cast<size_t>(k)]);
                for (int p = 0; p < kPairs; ++p)
                    sum[t][p] = _mm512_mask_add_ps(sum[t][p], inside[p],
                                                   _mm512_mul_ps(values[p], weight), sum[t][p]);
            }
        }
    }
    for (int t = 0; t < kKernels; ++t) {
        for (int p = 0; p < kPairs; ++p) {
            float* out = sums + (static_cast<size_t>(firstKernel + t) * job.blockCount + first +
                                 2 * static_cast<size_t>(p)) *
                                    kWidth;
            if (pairs[p].both)
                _mm512_storeu_ps(out, sum[t][p]);
            else
                _mm256_storeu_ps(out, _mm512_castps512_ps256(sum[t][p]));
        }
    }
}

// All listed blocks for kKernels kernels: tiles of four pairs while they
// last, then of two, then one (the last block perhaps alone).
template <int kKernels>
__attribute__((target("avx512f,avx512dq"))) inline void ForwardKernels(
    const ConvLanes::ForwardJob& job, int firstKernel, float* sums) {
    int first = 0;
    for (; first + 8 <= job.blockCount; first += 8)
        ForwardTile<4, kKernels>(job, firstKernel, first, sums);
    if (first + 4 <= job.blockCount) {
        ForwardTile<2, kKernels>(job, firstKernel, first, sums);
        first += 4;
    }
    for (; first < job.blockCount; first += 2)
        ForwardTile<1, kKernels>(job, firstKernel, first, sums);
}

__attribute__((target("avx512f,avx512dq"))) void ForwardSumsAvx512(const ConvLanes::ForwardJob& job,
                                                                   float* sums) {
    int kernel = 0;
    for (; kernel + 4 <= job.kernelCount; kernel += 4) ForwardKernels<4>(job, kernel, sums);
    if (kernel + 2 <= job.kernelCount) {
        ForwardKernels<2>(job, kernel, sums);
        kernel += 2;
    }
    if (kernel < job.kernelCount) ForwardKernels<1>(job, kernel, sums);
}

}  // namespace

const ConvLanes* ConvLanes::Avx512() {
    const ConvLanes* avx2 = Avx2();
    static const bool supported = avx2 != nullptr && __builtin_cpu_supports("avx512f") != 0 &&
                                  __builtin_cpu_supports("avx512dq") != 0;
    if (!supported) return nullptr;
    static const ConvLanes table = [avx2] {
        ConvLanes wider = *avx2;
        wider.forwardSums = ForwardSumsAvx512;
        return wider;
    }();
    return &table;
}

#else

const ConvLanes* ConvLanes::Avx512() { return nullptr; }

#endif

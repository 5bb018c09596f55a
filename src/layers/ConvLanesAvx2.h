#pragma once

// The AVX2 vector loops of the fast convolution path, shared by the files
// that implement them (ConvLanesAvx2*.cpp) and the table that hands them
// out (ConvLanes::Avx2). Compiled for the baseline processor like
// everything else; only these functions carry the AVX2 target, and the
// table hands them out only where the processor has it. Separate multiply
// and add throughout: a fused multiply-add rounds once instead of twice and
// would change the results.

#include "layers/ConvLanes.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

#include <immintrin.h>

#include <cstdint>

// All bits set in the lanes whose bit is set in `bits`.
__attribute__((target("avx2"))) inline __m256 LaneMask(std::uint8_t bits) {
    const __m256i lanes = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i selected = _mm256_and_si256(_mm256_set1_epi32(bits), lanes);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(selected, lanes));
}

// KernelActivation (common/Formulas.h) lane by lane, of bias + sum: not
// above 0 gives the slope, above 1 gives 1.
__attribute__((target("avx2"))) inline __m256 KernelActivation8(__m256 bias, __m256 sum,
                                                                __m256 slope) {
    const __m256 x = _mm256_add_ps(bias, sum);
    const __m256 clipped =
        _mm256_blendv_ps(slope, x, _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GT_OQ));
    const __m256 one = _mm256_set1_ps(1.0f);
    return _mm256_blendv_ps(clipped, one, _mm256_cmp_ps(clipped, one, _CMP_GT_OQ));
}

// ClampToUnit (common/Formulas.h) lane by lane: above 1 gives 1, then below
// 0 gives 0.
__attribute__((target("avx2"))) inline __m256 ClampToUnit8(__m256 value) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 zero = _mm256_setzero_ps();
    const __m256 x = _mm256_blendv_ps(value, one, _mm256_cmp_ps(value, one, _CMP_GT_OQ));
    return _mm256_blendv_ps(x, zero, _mm256_cmp_ps(x, zero, _CMP_LT_OQ));
}

// The forward pass (ConvLanesAvx2Forward.cpp).
__attribute__((target("avx2"))) void ForwardSumsAvx2(const ConvLanes::ForwardJob& job, float* sums);
__attribute__((target("avx2"))) void GatherColumnsAvx2(const ConvLanes::GatherJob& job,
                                                       float* columns);
__attribute__((target("avx2"))) bool ActivateAvx2(const float* sums, const int* blocks, int count,
                                                  const std::uint8_t* activeBits, float bias,
                                                  float slope, float* activations);
// The update (ConvLanesAvx2Update.cpp).
__attribute__((target("avx2"))) void GroupRespondAvx2(const ConvLanes::GroupJob& job, float* sums);
__attribute__((target("avx2"))) void BundleRespondAvx2(const ConvLanes::GroupJob* jobs,
                                                       int jobCount, float* sums);
__attribute__((target("avx2"))) void BundleUpdateAvx2(const ConvLanes::GroupJob* jobs, int jobCount,
                                                      bool fused, float* sums);
// The depth lines (ConvLanesAvx2Lines.cpp).
__attribute__((target("avx2"))) void LineSharesAvx2(float* shares, float* sum,
                                                    const float* const* sources,
                                                    const float* factors, int outputs, int count,
                                                    bool storeRows);
__attribute__((target("avx2"))) void AddRowsAvx2(float* const* rows, const float* sums, int count,
                                                 std::uint8_t active);
// The weights' copies (ConvLanesAvx2.cpp).
__attribute__((target("avx2"))) void InterleaveAvx2(float* weights, const float* const* sources,
                                                    int members, int laneCount, int count);
__attribute__((target("avx2"))) void DeinterleaveAvx2(float* const* destinations,
                                                      const float* weights, int members,
                                                      int laneCount, int count);
__attribute__((target("avx2"))) bool AllFiniteAvx2(const float* weights, int members, int laneCount,
                                                   int count);

#endif

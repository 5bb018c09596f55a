// The AVX2 loops that copy the weights between the kernels' own lists and
// the lanes of a group, and the table of all AVX2 loops.
#include "layers/ConvLanesAvx2.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// Transposes the 8 x 8 block held in rows[0..7] in place.
__attribute__((target("avx2"))) inline void Transpose(__m256 rows[kWidth]) {
    const __m256 t0 = _mm256_unpacklo_ps(rows[0], rows[1]);
    const __m256 t1 = _mm256_unpackhi_ps(rows[0], rows[1]);
    const __m256 t2 = _mm256_unpacklo_ps(rows[2], rows[3]);
    const __m256 t3 = _mm256_unpackhi_ps(rows[2], rows[3]);
    const __m256 t4 = _mm256_unpacklo_ps(rows[4], rows[5]);
    const __m256 t5 = _mm256_unpackhi_ps(rows[4], rows[5]);
    const __m256 t6 = _mm256_unpacklo_ps(rows[6], rows[7]);
    const __m256 t7 = _mm256_unpackhi_ps(rows[6], rows[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    rows[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    rows[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    rows[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    rows[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    rows[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    rows[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    rows[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    rows[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

}  // namespace

__attribute__((target("avx2"))) void InterleaveAvx2(float* weights, const float* const* sources,
                                                    int members, int laneCount, int count) {
    // Eight lanes by eight weights at a time: eight loads, one transpose, eight stores.
    for (int lane = 0; lane < laneCount; lane += kWidth) {
        int i = 0;
        for (; i + kWidth <= count; i += kWidth) {
            __m256 rows[kWidth];
            for (int r = 0; r < kWidth; ++r)
                rows[r] = lane + r < members ? _mm256_loadu_ps(sources[lane + r] + i)
                                             : _mm256_setzero_ps();
            Transpose(rows);
            for (int c = 0; c < kWidth; ++c)
                _mm256_storeu_ps(weights + static_cast<size_t>(i + c) * laneCount + lane, rows[c]);
        }
        for (; i < count; ++i)
            for (int r = 0; r < kWidth; ++r)
                weights[static_cast<size_t>(i) * laneCount + lane + r] =
                    lane + r < members ? sources[lane + r][i] : 0.0f;
    }
}

__attribute__((target("avx2"))) void DeinterleaveAvx2(float* const* destinations,
                                                      const float* weights, int members,
                                                      int laneCount, int count) {
    for (int lane = 0; lane < members; lane += kWidth) {
        int i = 0;
        for (; i + kWidth <= count; i += kWidth) {
            __m256 rows[kWidth];
            for (int c = 0; c < kWidth; ++c)
                rows[c] = _mm256_loadu_ps(weights + static_cast<size_t>(i + c) * laneCount + lane);
            Transpose(rows);
            for (int r = 0; r < kWidth && lane + r < members; ++r)
                _mm256_storeu_ps(destinations[lane + r] + i, rows[r]);
        }
        for (; i < count; ++i)
            for (int r = 0; r < kWidth && lane + r < members; ++r)
                destinations[lane + r][i] = weights[static_cast<size_t>(i) * laneCount + lane + r];
    }
}

__attribute__((target("avx2"))) bool AllFiniteAvx2(const float* weights, int members, int laneCount,
                                                   int count) {
    // A float is NaN or infinite exactly when its exponent bits are all set.
    const __m256i exponent = _mm256_set1_epi32(0x7f800000);
    const __m256i laneNumbers = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256i bad = _mm256_setzero_si256();
    for (int lane = 0; lane < laneCount; lane += kWidth) {
        const __m256i member = _mm256_cmpgt_epi32(_mm256_set1_epi32(members - lane), laneNumbers);
        for (int i = 0; i < count; ++i) {
            const __m256i bits = _mm256_castps_si256(
                _mm256_loadu_ps(weights + static_cast<size_t>(i) * laneCount + lane));
            const __m256i full = _mm256_cmpeq_epi32(_mm256_and_si256(bits, exponent), exponent);
            bad = _mm256_or_si256(bad, _mm256_and_si256(full, member));
        }
    }
    return _mm256_testz_si256(bad, bad) != 0;
}

const ConvLanes* ConvLanes::Avx2() {
    static const ConvLanes table{ForwardSumsAvx2,  GatherColumnsAvx2, ActivateAvx2,
                                 GroupRespondAvx2, BundleRespondAvx2, BundleUpdateAvx2,
                                 LineSharesAvx2,   AddRowsAvx2,       InterleaveAvx2,
                                 DeinterleaveAvx2, AllFiniteAvx2};
    static const bool supported = __builtin_cpu_supports("avx2") != 0;
    return supported ? &table : nullptr;
}

#else

const ConvLanes* ConvLanes::Avx2() { return nullptr; }

#endif

// The AVX2 loops of the depth lines: a line's error shares and their sum,
// and the sums added to the input planes.
#include "layers/ConvLanesAvx2.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// One map's share of kFull whole vectors and, with kTail, one partial vector
// under `tail`: made from `source` when it is set (and, with kStore, written
// to the row), read from the row otherwise, and added to the running sums.
template <int kFull, bool kTail, bool kStore>
__attribute__((target("avx2"))) inline void AddShare(float* row, const float* source, float factor,
                                                     __m256i tail, __m256 total[]) {
    const __m256 scale = _mm256_set1_ps(factor);
    for (int v = 0; v < kFull; ++v) {
        __m256 share;
        if (source != nullptr) {
            share = _mm256_mul_ps(scale, _mm256_loadu_ps(source + v * kWidth));
            if (kStore) _mm256_storeu_ps(row + v * kWidth, share);
        } else {
            share = _mm256_loadu_ps(row + v * kWidth);
        }
        total[v] = _mm256_add_ps(total[v], share);
    }
    if (kTail) {
        __m256 share;
        if (source != nullptr) {
            share = _mm256_mul_ps(scale, _mm256_maskload_ps(source + kFull * kWidth, tail));
            if (kStore) _mm256_maskstore_ps(row + kFull * kWidth, tail, share);
        } else {
            share = _mm256_maskload_ps(row + kFull * kWidth, tail);
        }
        total[kFull] = _mm256_add_ps(total[kFull], share);
    }
}

// A line of at most 32 inputs: the sums stay in registers over all maps.
template <int kFull, bool kTail, bool kStore>
__attribute__((target("avx2"))) void NarrowLineShares(float* shares, float* sum,
                                                      const float* const* sources,
                                                      const float* factors, int outputs,
                                                      int count) {
    const __m256i tail = _mm256_cmpgt_epi32(_mm256_set1_epi32(count % kWidth),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    __m256 total[kFull + 1];
    for (int v = 0; v <= kFull; ++v) total[v] = _mm256_setzero_ps();
    // Every input keeps its own running sum over the maps in order.
    for (int i = 0; i < outputs; ++i)
        AddShare<kFull, kTail, kStore>(shares + static_cast<size_t>(i) * count, sources[i],
                                       factors[i], tail, total);
    for (int v = 0; v < kFull; ++v) _mm256_storeu_ps(sum + v * kWidth, total[v]);
    if (kTail) _mm256_maskstore_ps(sum + kFull * kWidth, tail, total[kFull]);
}

// A wider line: map after map along its rows, the sums in memory.
template <bool kStore>
__attribute__((target("avx2"))) void WideLineShares(float* shares, float* sum,
                                                    const float* const* sources,
                                                    const float* factors, int outputs, int count) {
    for (int k = 0; k < count; ++k) sum[k] = 0.0f;
    // Every input keeps its own running sum over the maps in order.
    for (int i = 0; i < outputs; ++i) {
        float* row = shares + static_cast<size_t>(i) * count;
        const float* source = sources[i];
        const __m256 scale = _mm256_set1_ps(factors[i]);
        int k = 0;
        for (; k + kWidth <= count; k += kWidth) {
            __m256 share;
            if (source != nullptr) {
                share = _mm256_mul_ps(scale, _mm256_loadu_ps(source + k));
                if (kStore) _mm256_storeu_ps(row + k, share);
            } else {
                share = _mm256_loadu_ps(row + k);
            }
            _mm256_storeu_ps(sum + k, _mm256_add_ps(_mm256_loadu_ps(sum + k), share));
        }
        for (; k < count; ++k) {
            float share = row[k];
            if (source != nullptr) {
                share = factors[i] * source[k];
                if (kStore) row[k] = share;
            }
            sum[k] = sum[k] + share;
        }
    }
}

template <bool kStore>
__attribute__((target("avx2"))) void LineShares(float* shares, float* sum,
                                                const float* const* sources, const float* factors,
                                                int outputs, int count) {
    using Shape = void (*)(float*, float*, const float* const*, const float*, int, int);
    static const Shape narrow[4][2] = {
        {NarrowLineShares<0, false, kStore>, NarrowLineShares<0, true, kStore>},
        {NarrowLineShares<1, false, kStore>, NarrowLineShares<1, true, kStore>},
        {NarrowLineShares<2, false, kStore>, NarrowLineShares<2, true, kStore>},
        {NarrowLineShares<3, false, kStore>, NarrowLineShares<3, true, kStore>}};
    if (count >= 4 * kWidth)
        (count == 4 * kWidth
             ? NarrowLineShares<4, false, kStore>
             : WideLineShares<kStore>)(shares, sum, sources, factors, outputs, count);
    else
        narrow[count / kWidth][count % kWidth != 0 ? 1 : 0](shares, sum, sources, factors, outputs,
                                                            count);
}

}  // namespace

__attribute__((target("avx2"))) void LineSharesAvx2(float* shares, float* sum,
                                                    const float* const* sources,
                                                    const float* factors, int outputs, int count,
                                                    bool storeRows) {
    (storeRows ? LineShares<true> : LineShares<false>)(shares, sum, sources, factors, outputs,
                                                       count);
}

__attribute__((target("avx2"))) void AddRowsAvx2(float* const* rows, const float* sums, int count,
                                                 std::uint8_t active) {
    const __m256 mask = LaneMask(active);
    const __m256i mapped = _mm256_castps_si256(mask);
    const __m256i at =
        _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(count));
    for (int k = 0; k < count; ++k) {
        const __m256 value = _mm256_maskload_ps(rows[k], mapped);
        const __m256 sum = _mm256_mask_i32gather_ps(_mm256_setzero_ps(), sums + k, at, mask, 4);
        _mm256_maskstore_ps(rows[k], mapped, ClampToUnit8(_mm256_add_ps(value, sum)));
    }
}

#endif

// The AVX2 loops of the fast update: kernels of one pattern side by side in
// lanes, their responses, their learning steps, and both fused.
#include "layers/ConvLanesAvx2.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// kVectors vectors of lanes starting at `lane`, kept in registers over the
// whole sum.
template <int kVectors>
__attribute__((target("avx2"))) inline void RespondLanes(const ConvLanes::GroupJob& job, int lane,
                                                         float* sums) {
    const int n = job.inputCount;
    const size_t stride = job.inputStride;
    __m256 sum[kVectors];
    for (int v = 0; v < kVectors; ++v) sum[v] = _mm256_setzero_ps();
    // Each lane is one kernel: its sum runs through the listed entries and
    // their inputs in order, like the scalar kernel's.
    for (int e = 0; e < job.entryCount; ++e) {
        const float* in = job.inputs[e];
        const float* row =
            job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount + lane;
        for (int k = 0; k < n; ++k, row += job.laneCount) {
            const __m256 input = _mm256_broadcast_ss(in + k * stride);
            for (int v = 0; v < kVectors; ++v) {
                const __m256 product = _mm256_mul_ps(input, _mm256_loadu_ps(row + v * kWidth));
                sum[v] = _mm256_add_ps(product, sum[v]);
            }
        }
    }
    for (int v = 0; v < kVectors; ++v) _mm256_storeu_ps(sums + lane + v * kWidth, sum[v]);
}

// Entries first .. end - 1 of the first kJobs groups of a bundle, one
// vector each; the sums stay in registers meanwhile.
template <int kJobs>
__attribute__((target("avx2"))) inline void BundleEntries(const ConvLanes::GroupJob* const* jobs,
                                                          int first, int end, __m256 sums[]) {
    const int n = jobs[0]->inputCount;
    const size_t stride = jobs[0]->inputStride;
    __m256 sum[kJobs];
    for (int j = 0; j < kJobs; ++j) sum[j] = sums[j];
    for (int e = first; e < end; ++e) {
        const float* in[kJobs];
        const float* row[kJobs];
        for (int j = 0; j < kJobs; ++j) {
            in[j] = jobs[j]->inputs[e];
            row[j] = jobs[j]->weights + static_cast<size_t>(jobs[j]->entries[e]) * n * kWidth;
        }
        for (int k = 0; k < n; ++k)
            for (int j = 0; j < kJobs; ++j) {
                const __m256 product = _mm256_mul_ps(_mm256_broadcast_ss(in[j] + k * stride),
                                                     _mm256_loadu_ps(row[j] + k * kWidth));
                sum[j] = _mm256_add_ps(product, sum[j]);
            }
    }
    for (int j = 0; j < kJobs; ++j) sums[j] = sum[j];
}

// The vector loops of a group or bundle, named so that AllLanes and
// AllBundled can pick their register-count variants: Respond sums, Step
// updates fused with the next field's sums.
struct Respond {
    template <int kCount>
    __attribute__((target("avx2"))) static void Lanes(const ConvLanes::GroupJob& job, int lane,
                                                      float* sums) {
        RespondLanes<kCount>(job, lane, sums);
    }
    template <int kCount>
    __attribute__((target("avx2"))) static void Entries(const ConvLanes::GroupJob* const* jobs,
                                                        int first, int end, __m256 sums[]) {
        BundleEntries<kCount>(jobs, first, end, sums);
    }
};

// Every vector of one group, four at a time, then the rest together.
template <typename Loop>
__attribute__((target("avx2"))) inline void AllLanes(const ConvLanes::GroupJob& job, float* sums) {
    int lane = 0;
    for (; lane + 4 * kWidth <= job.laneCount; lane += 4 * kWidth)
        Loop::template Lanes<4>(job, lane, sums);
    switch ((job.laneCount - lane) / kWidth) {
        case 3:
            Loop::template Lanes<3>(job, lane, sums);
            break;
        case 2:
            Loop::template Lanes<2>(job, lane, sums);
            break;
        case 1:
            Loop::template Lanes<1>(job, lane, sums);
            break;
        default:
            break;
    }
}

// A bundle of one-vector groups. Longest entry lists first: at every entry
// the groups still running are a prefix, and each group's sum still takes
// its entries in order.
template <typename Loop>
__attribute__((target("avx2"))) inline void AllBundled(const ConvLanes::GroupJob* jobs,
                                                       int jobCount, float* sums) {
    const ConvLanes::GroupJob* order[ConvLanes::kBundle];
    int slot[ConvLanes::kBundle];
    for (int j = 0; j < jobCount; ++j) {
        int at = j;
        while (at > 0 && order[at - 1]->entryCount < jobs[j].entryCount) {
            order[at] = order[at - 1];
            slot[at] = slot[at - 1];
            --at;
        }
        order[at] = &jobs[j];
        slot[at] = j;
    }
    __m256 sum[ConvLanes::kBundle];
    for (int j = 0; j < ConvLanes::kBundle; ++j) sum[j] = _mm256_setzero_ps();
    int first = 0;
    for (int running = jobCount; running > 0; --running) {
        const int end = order[running - 1]->entryCount;
        if (end <= first) continue;
        switch (running) {
            case 4:
                Loop::template Entries<4>(order, first, end, sum);
                break;
            case 3:
                Loop::template Entries<3>(order, first, end, sum);
                break;
            case 2:
                Loop::template Entries<2>(order, first, end, sum);
                break;
            default:
                Loop::template Entries<1>(order, first, end, sum);
                break;
        }
        first = end;
    }
    for (int j = 0; j < jobCount; ++j) _mm256_storeu_ps(sums + slot[j] * kWidth, sum[j]);
}

// The plain learning step of one group, all its vectors.
__attribute__((target("avx2"))) inline void GroupUpdate(const ConvLanes::GroupJob& job) {
    const int n = job.inputCount;
    const size_t stride = job.inputStride;
    // Weights are independent of each other: one step per lane, no order to keep.
    if (job.laneCount == kWidth) {
        const __m256 step = _mm256_loadu_ps(job.steps);
        for (int e = 0; e < job.entryCount; ++e) {
            const float* in = job.inputs[e];
            float* row = job.weights + static_cast<size_t>(job.entries[e]) * n * kWidth;
            for (int k = 0; k < n; ++k, row += kWidth) {
                const __m256 change = _mm256_mul_ps(step, _mm256_broadcast_ss(in + k * stride));
                _mm256_storeu_ps(row, _mm256_add_ps(change, _mm256_loadu_ps(row)));
            }
        }
        return;
    }
    for (int e = 0; e < job.entryCount; ++e) {
        const float* in = job.inputs[e];
        float* row = job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount;
        for (int k = 0; k < n; ++k, row += job.laneCount) {
            const __m256 input = _mm256_broadcast_ss(in + k * stride);
            for (int lane = 0; lane < job.laneCount; lane += kWidth) {
                const __m256 change = _mm256_mul_ps(_mm256_loadu_ps(job.steps + lane), input);
                _mm256_storeu_ps(row + lane, _mm256_add_ps(change, _mm256_loadu_ps(row + lane)));
            }
        }
    }
}

// kVectors vectors of one wide group from `lane` on: each weight takes its
// step, is stored, and goes straight into the next field's sum.
template <int kVectors>
__attribute__((target("avx2"))) inline void StepLanes(const ConvLanes::GroupJob& job, int lane,
                                                      float* sums) {
    const int n = job.inputCount;
    const size_t stride = job.inputStride;
    __m256 step[kVectors];
    __m256 sum[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        step[v] = _mm256_loadu_ps(job.steps + lane + v * kWidth);
        sum[v] = _mm256_setzero_ps();
    }
    // The update of each weight comes before its use in the next sum, and
    // every sum takes its terms in entry, then input order.
    for (int e = 0; e < job.entryCount; ++e) {
        const float* in = job.inputs[e];
        const float* next = job.nextInputs[e];
        float* row = job.weights + static_cast<size_t>(job.entries[e]) * n * job.laneCount + lane;
        for (int k = 0; k < n; ++k, row += job.laneCount) {
            const __m256 input = _mm256_broadcast_ss(in + k * stride);
            const __m256 nextInput = _mm256_broadcast_ss(next + k * stride);
            for (int v = 0; v < kVectors; ++v) {
                const __m256 weight =
                    _mm256_add_ps(_mm256_mul_ps(step[v], input), _mm256_loadu_ps(row + v * kWidth));
                _mm256_storeu_ps(row + v * kWidth, weight);
                sum[v] = _mm256_add_ps(_mm256_mul_ps(nextInput, weight), sum[v]);
            }
        }
    }
    for (int v = 0; v < kVectors; ++v) _mm256_storeu_ps(sums + lane + v * kWidth, sum[v]);
}

// Entries first .. end - 1 of the first kJobs one-vector groups of a
// bundle, fused as in StepLanes; steps and sums stay in registers.
template <int kJobs>
__attribute__((target("avx2"))) inline void BundleStepEntries(
    const ConvLanes::GroupJob* const* jobs, int first, int end, __m256 sums[]) {
    const int n = jobs[0]->inputCount;
    const size_t stride = jobs[0]->inputStride;
    __m256 step[kJobs];
    __m256 sum[kJobs];
    for (int j = 0; j < kJobs; ++j) {
        step[j] = _mm256_loadu_ps(jobs[j]->steps);
        sum[j] = sums[j];
    }
    for (int e = first; e < end; ++e) {
        const float* in[kJobs];
        const float* next[kJobs];
        float* row[kJobs];
        for (int j = 0; j < kJobs; ++j) {
            in[j] = jobs[j]->inputs[e];
            next[j] = jobs[j]->nextInputs[e];
            row[j] = jobs[j]->weights + static_cast<size_t>(jobs[j]->entries[e]) * n * kWidth;
        }
        for (int k = 0; k < n; ++k)
            for (int j = 0; j < kJobs; ++j) {
                const __m256 weight =
                    _mm256_add_ps(_mm256_mul_ps(step[j], _mm256_broadcast_ss(in[j] + k * stride)),
                                  _mm256_loadu_ps(row[j] + k * kWidth));
                _mm256_storeu_ps(row[j] + k * kWidth, weight);
                sum[j] = _mm256_add_ps(
                    _mm256_mul_ps(_mm256_broadcast_ss(next[j] + k * stride), weight), sum[j]);
            }
    }
    for (int j = 0; j < kJobs; ++j) sums[j] = sum[j];
}

// StepLanes and BundleStepEntries under the names AllLanes and AllBundled use.
struct Step {
    template <int kCount>
    __attribute__((target("avx2"))) static void Lanes(const ConvLanes::GroupJob& job, int lane,
                                                      float* sums) {
        StepLanes<kCount>(job, lane, sums);
    }
    template <int kCount>
    __attribute__((target("avx2"))) static void Entries(const ConvLanes::GroupJob* const* jobs,
                                                        int first, int end, __m256 sums[]) {
        BundleStepEntries<kCount>(jobs, first, end, sums);
    }
};

}  // namespace

__attribute__((target("avx2"))) void GroupRespondAvx2(const ConvLanes::GroupJob& job, float* sums) {
    AllLanes<Respond>(job, sums);
}

__attribute__((target("avx2"))) void BundleRespondAvx2(const ConvLanes::GroupJob* jobs,
                                                       int jobCount, float* sums) {
    AllBundled<Respond>(jobs, jobCount, sums);
}

__attribute__((target("avx2"))) void BundleUpdateAvx2(const ConvLanes::GroupJob* jobs, int jobCount,
                                                      bool fused, float* sums) {
    if (!fused) {
        for (int j = 0; j < jobCount; ++j) GroupUpdate(jobs[j]);
        return;
    }
    if (jobs[0].laneCount > kWidth)
        AllLanes<Step>(jobs[0], sums);
    else
        AllBundled<Step>(jobs, jobCount, sums);
}

#endif

// The AVX2 versions of the fast convolution loops. Compiled for the baseline
// processor like everything else; only these functions carry the AVX2
// target, and ConvLanes::Avx2 hands them out only where the processor has it.
// Separate multiply and add throughout: a fused multiply-add rounds once
// instead of twice and would change the results.
#include "layers/ConvLanes.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

#include <immintrin.h>

#include <algorithm>

namespace {

constexpr int kWidth = ConvLanes::kWidth;

// All bits set in the lanes whose bit is set in `bits`.
__attribute__((target("avx2"))) inline __m256 LaneMask(std::uint8_t bits) {
    const __m256i lanes = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i selected = _mm256_and_si256(_mm256_set1_epi32(bits), lanes);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(selected, lanes));
}

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
    const __m256 zero = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int i = 0; i < count; ++i) {
        const int block = blocks[i];
        const __m256 sum = _mm256_loadu_ps(sums + i * kWidth);
        if ((_mm256_movemask_ps(_mm256_cmp_ps(sum, sum, _CMP_UNORD_Q)) & activeBits[block]) != 0)
            return false;
        // The scalar clip, lane by lane: not above 0 gives the slope, above 1 gives 1.
        __m256 x = _mm256_add_ps(biases, sum);
        x = _mm256_blendv_ps(slopes, x, _mm256_cmp_ps(x, zero, _CMP_GT_OQ));
        x = _mm256_blendv_ps(x, one, _mm256_cmp_ps(x, one, _CMP_GT_OQ));
        _mm256_storeu_ps(activations + static_cast<size_t>(block) * kWidth, x);
    }
    return true;
}

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

__attribute__((target("avx2"))) void GroupRespondAvx2(const ConvLanes::GroupJob& job, float* sums) {
    AllLanes<Respond>(job, sums);
}

__attribute__((target("avx2"))) void BundleRespondAvx2(const ConvLanes::GroupJob* jobs,
                                                       int jobCount, float* sums) {
    AllBundled<Respond>(jobs, jobCount, sums);
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
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 zero = _mm256_setzero_ps();
    for (int k = 0; k < count; ++k) {
        const __m256 value = _mm256_maskload_ps(rows[k], mapped);
        const __m256 sum = _mm256_mask_i32gather_ps(zero, sums + k, at, mask, 4);
        // The scalar clip, lane by lane: above 1 gives 1, then below 0 gives 0.
        __m256 x = _mm256_add_ps(value, sum);
        x = _mm256_blendv_ps(x, one, _mm256_cmp_ps(x, one, _CMP_GT_OQ));
        x = _mm256_blendv_ps(x, zero, _mm256_cmp_ps(x, zero, _CMP_LT_OQ));
        _mm256_maskstore_ps(rows[k], mapped, x);
    }
}

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

}  // namespace

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

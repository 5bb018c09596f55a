#pragma once

#include <cstddef>
#include <cstdint>

// The vector loops of the fast convolution path, as a table of functions
// chosen once per process: AVX-512 or AVX2 where the processor has it (GCC
// and Clang on x86), otherwise plain loops over the same lanes.
//
// Every function computes each lane's value with exactly the single-precision
// operations, in exactly the order, of the scalar code in ConvKernel and
// ConvolutionLayer: a product is rounded, then added (never fused), and each
// lane's sum runs through its terms in pattern-entry-major, input-minor order.
// Lanes never mix, so the vector width changes speed, never results.
class ConvLanes {
  public:
    // Lanes per vector; blocks of output positions and groups of kernels are
    // laid out in multiples of it.
    static constexpr int kWidth = 8;

    // The weighted sums of several kernels that share one pattern, over
    // blocks of kWidth neighbouring output positions. The inputs are padded
    // copies of the input planes, so that a window position shifts every lane
    // of a block by the same offset: window number w of the lane at linear
    // position q reads input map k at
    //   planes[(k * phaseCount + tapPhase[w]) * planeSize + q + tapOffset[w]].
    // A window position outside the input must add nothing (not even 0 * w),
    // so lanes whose bit in validBits is clear keep their sum unchanged.
    struct ForwardJob {
        const float* planes = nullptr;
        size_t planeSize = 0;
        int phaseCount = 1;
        int inputCount = 0;
        const int* pattern = nullptr;  // window numbers the kernels read
        int patternLength = 0;
        const int* tapPhase = nullptr;   // per window number
        const int* tapOffset = nullptr;  // per window number
        // Per kernel, its weights: pattern-entry major, input minor.
        const float* const* weights = nullptr;
        int kernelCount = 0;
        const int* blocks = nullptr;  // which blocks to compute; block b starts at q = b * kWidth
        int blockCount = 0;
        // Per block, windowCount bytes: bit l of byte w is set when window
        // number w of lane l lies inside the input.
        const std::uint8_t* validBits = nullptr;
        // Per block: 1 when every lane's whole window lies inside the input.
        const std::uint8_t* interior = nullptr;
        int windowCount = 0;
    };

    // Several kernels that share one pattern, one per lane, at one output
    // position: the learning step's response and weight update, where the
    // weights change after every position. The weights are interleaved by
    // lane: weight j * inputCount + k of lane g sits at
    //   weights[(j * inputCount + k) * laneCount + g].
    // Only the pattern entries whose window position lies inside the input
    // are listed: entry e reads the inputCount values at inputs[e],
    // inputStride floats apart, with the weights of pattern entry entries[e].
    struct GroupJob {
        const float* const* inputs = nullptr;
        const int* entries = nullptr;
        int entryCount = 0;
        int inputCount = 0;
        size_t inputStride = 1;
        float* weights = nullptr;
        int laneCount = 0;  // a multiple of kWidth
        // The learning step: every listed weight w of lane g becomes
        // steps[g] * input + w.
        const float* steps = nullptr;
        // For a step fused with the response at the next field, which lists
        // the same entries: that field's input rows, entry by entry.
        const float* const* nextInputs = nullptr;
    };

    // sums[(kernel * blockCount + i) * kWidth + l]: lane l of the i-th listed
    // block for that kernel, bias not added.
    void (*forwardSums)(const ForwardJob& job, float* sums);

    // Gathers scattered lanes of the padded planes (laid out as ForwardJob
    // reads them) into columns that ForwardJob can read as planes, so that
    // lanes holding active fields fill whole blocks. For listed window number
    // windows[i], input map k, block b and lane l:
    //   columns[((i * inputCount + k) * blockCount + b) * kWidth + l] =
    //   planes[(k * phaseCount + tapPhase[w]) * planeSize + lanes[b * kWidth + l] + tapOffset[w]]
    // with w = windows[i]. A pure copy.
    struct GatherJob {
        const float* planes = nullptr;
        size_t planeSize = 0;
        int phaseCount = 1;
        int inputCount = 0;
        const int* windows = nullptr;
        int windowCount = 0;
        const int* tapPhase = nullptr;
        const int* tapOffset = nullptr;
        const std::int32_t* lanes = nullptr;  // blockCount * kWidth lane positions
        int blockCount = 0;
        // When set, the columns come from the layer's own input planes
        // instead: input map k's plane starts at sources[k] (all with one
        // row step), lane i sits at sourceLanes[i] in it and window number w
        // at windowShift[w] from there. A lane whose bit for w is clear in
        // valid[b * validStride + w] reads nothing and gets 0.
        const float* const* sources = nullptr;
        const std::int32_t* sourceLanes = nullptr;
        const int* windowShift = nullptr;
        const std::uint8_t* valid = nullptr;
        int validStride = 0;
    };
    void (*gatherColumns)(const GatherJob& job, float* columns);
    // The activation, as ConvKernel::Respond clips bias + sum, of the sums of
    // the `count` listed blocks (laid out as forwardSums leaves one kernel's)
    // into activations[block * kWidth + l]. Returns false, at the first block
    // that has one, when the sum of a lane whose bit is set in
    // activeBits[block] is NaN.
    bool (*activate)(const float* sums, const int* blocks, int count,
                     const std::uint8_t* activeBits, float bias, float slope, float* activations);
    // sums[g] = weighted sum of lane g, bias not added.
    void (*groupRespond)(const GroupJob& job, float* sums);
    // groupRespond for up to kBundle groups of exactly kWidth lanes each,
    // whose sums advance together so that none waits for its previous add:
    // sums[j * kWidth + g] for group j.
    static constexpr int kBundle = 4;
    void (*bundleRespond)(const GroupJob* jobs, int jobCount, float* sums);
    // The learning steps of a bundle (or of one group of any width alone).
    // With `fused`, every job's nextInputs are set and the sums of the next
    // field are taken from the new weights in the same sweep, laid out as
    // bundleRespond's (one group alone: as groupRespond's).
    void (*bundleUpdate)(const GroupJob* jobs, int jobCount, bool fused, float* sums);
    // One depth line's error shares and their sum over the output maps.
    // `shares` holds `outputs` rows of `count` floats. For every output map i
    // in order, the share of input k is factors[i] * sources[i][k] when
    // sources[i] is set (and, with storeRows, written to row i), else row
    // i [k]; then sum[k] = sum[k] + that share. The sum starts at 0.
    void (*lineShares)(float* shares, float* sum, const float* const* sources, const float* factors,
                       int outputs, int count, bool storeRows);

    // The depth lines' sums added to the inputs at up to kWidth neighbouring
    // positions of one row, as the depth-line task does: for every lane l
    // whose bit is set in `active` and every input k < count,
    //   rows[k][l] = rows[k][l] + sums[l * count + k],
    // then clipped (above 1 gives 1, then below 0 gives 0). Lanes whose bit
    // is clear are neither read nor written.
    void (*addRows)(float* const* rows, const float* sums, int count, std::uint8_t active);

    // Between separate rows and lanes (the kernels' own weight lists and the
    // lanes of a group; the input planes and the position-major copy):
    // interleave sets weights[i * laneCount + g] = sources[g][i] for
    // g < members and i < count, and 0 in the lanes beyond members;
    // deinterleave copies back the members' lanes. Pure copies.
    void (*interleave)(float* weights, const float* const* sources, int members, int laneCount,
                       int count);
    void (*deinterleave)(float* const* destinations, const float* weights, int members,
                         int laneCount, int count);
    // Whether every member lane of every interleaved weight is finite.
    bool (*allFinite)(const float* weights, int members, int laneCount, int count);

    // The best table for this processor.
    static const ConvLanes& Best();
    // The plain loops, for every processor.
    static const ConvLanes& Portable();
    // The AVX2 loops, or null when this build or processor has none.
    static const ConvLanes* Avx2();
    // The AVX2 loops with the forward sums on sixteen lanes, or null when
    // this build or processor has no AVX-512 (its foundation and its
    // doubleword and quadword instructions).
    static const ConvLanes* Avx512();
};

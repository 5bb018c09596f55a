// The vector loops of the fast path against the scalar arithmetic they stand
// for, lane by lane and bit for bit, for every table this build and processor
// have; and the reordered chunks the fast path gives the pools.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>

#include "layers/ConvChunkBalance.h"
#include "layers/ConvLanes.h"
#include "layers/ConvolutionLayer.h"
#include "support/LayerTesting.h"

namespace {

constexpr int kWidth = ConvLanes::kWidth;

std::vector<const ConvLanes*> Tables() {
    std::vector<const ConvLanes*> tables{&ConvLanes::Portable()};
    if (ConvLanes::Avx2() != nullptr) tables.push_back(ConvLanes::Avx2());
    if (ConvLanes::Avx512() != nullptr) tables.push_back(ConvLanes::Avx512());
    return tables;
}

std::string NameOf(const ConvLanes* table) {
    if (table == &ConvLanes::Portable()) return "portable";
    return table == ConvLanes::Avx2() ? "avx2" : "avx512";
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof(float)) == 0; }

class Numbers {
  public:
    explicit Numbers(unsigned seed) : engine(seed) {}
    std::vector<float> Floats(size_t count, float low, float high) {
        std::uniform_real_distribution<float> uniform(low, high);
        std::vector<float> values(count);
        for (float& value : values) value = uniform(engine);
        return values;
    }
    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine); }

  private:
    std::mt19937 engine;
};

// A group of `lanes` kernel lanes over `entries` entries of `n` inputs, with
// inputs `stride` floats apart, and what the scalar kernel computes for it.
struct Group {
    Group(Numbers& numbers, int entryCount, int n, int laneCount, size_t stride)
        : inputs(numbers.Floats(static_cast<size_t>(entryCount) * n * stride, 0.0f, 1.0f)),
          weights(numbers.Floats(static_cast<size_t>(entryCount) * n * laneCount, -0.5f, 0.5f)),
          steps(numbers.Floats(static_cast<size_t>(laneCount), -0.01f, 0.01f)),
          next(numbers.Floats(inputs.size(), 0.0f, 1.0f)) {
        // Every other entry listed, as where the window leaves the input.
        for (int e = 0; e < entryCount; e += 2) {
            entries.push_back(e);
            rows.push_back(inputs.data() + static_cast<size_t>(e) * n * stride);
            nextRows.push_back(next.data() + static_cast<size_t>(e) * n * stride);
        }
        job.inputs = rows.data();
        job.entries = entries.data();
        job.entryCount = static_cast<int>(entries.size());
        job.inputCount = n;
        job.inputStride = stride;
        job.weights = weights.data();
        job.laneCount = laneCount;
        job.steps = steps.data();
    }

    // sum = in * w + sum over the listed entries, then their inputs.
    float ScalarSum(int lane, const std::vector<const float*>& from) const {
        float sum = 0.0f;
        for (size_t e = 0; e < entries.size(); ++e)
            for (int k = 0; k < job.inputCount; ++k)
                sum = from[e][k * job.inputStride] *
                          weights[(static_cast<size_t>(entries[e]) * job.inputCount + k) *
                                      job.laneCount +
                                  lane] +
                      sum;
        return sum;
    }
    // w = step * in + w for every listed weight of every lane.
    std::vector<float> ScalarStep() const {
        std::vector<float> stepped = weights;
        for (size_t e = 0; e < entries.size(); ++e)
            for (int k = 0; k < job.inputCount; ++k)
                for (int g = 0; g < job.laneCount; ++g) {
                    float& w = stepped[(static_cast<size_t>(entries[e]) * job.inputCount + k) *
                                           job.laneCount +
                                       g];
                    w = steps[static_cast<size_t>(g)] * rows[e][k * job.inputStride] + w;
                }
        return stepped;
    }

    std::vector<float> inputs;
    std::vector<float> weights;
    std::vector<float> steps;
    std::vector<float> next;
    std::vector<const float*> rows;
    std::vector<const float*> nextRows;
    std::vector<int> entries;
    ConvLanes::GroupJob job;
};

}  // namespace

TEST(ConvLanes, GroupSumsAndStepsEqualTheScalarArithmetic) {
    Numbers numbers(3);
    for (const ConvLanes* lanes : Tables()) {
        SCOPED_TRACE(NameOf(lanes));
        for (const int laneCount : {8, 16, 40, 56}) {
            for (const size_t stride : {size_t{1}, size_t{13}}) {
                SCOPED_TRACE("lanes " + std::to_string(laneCount) + ", stride " +
                             std::to_string(stride));
                Group group(numbers, 7, 11, laneCount, stride);
                std::vector<float> sums(static_cast<size_t>(laneCount));
                lanes->groupRespond(group.job, sums.data());
                for (int g = 0; g < laneCount; ++g)
                    ASSERT_TRUE(
                        SameBits(sums[static_cast<size_t>(g)], group.ScalarSum(g, group.rows)))
                        << "lane " << g;

                // The step fused with the next field's sums: new weights as
                // the plain step leaves them, sums taken from those.
                const std::vector<float> stepped = group.ScalarStep();
                group.job.nextInputs = group.nextRows.data();
                lanes->bundleUpdate(&group.job, 1, true, sums.data());
                ASSERT_EQ(std::memcmp(group.weights.data(), stepped.data(),
                                      stepped.size() * sizeof(float)),
                          0);
                for (int g = 0; g < laneCount; ++g)
                    ASSERT_TRUE(
                        SameBits(sums[static_cast<size_t>(g)], group.ScalarSum(g, group.nextRows)))
                        << "lane " << g;
            }
        }

        // Bundles of one-vector groups with different entry counts: each
        // group's sums still take its own entries in order.
        std::vector<Group> bundle;
        for (const int entries : {3, 9, 5, 1}) bundle.emplace_back(numbers, entries, 29, kWidth, 1);
        std::vector<ConvLanes::GroupJob> jobs;
        for (Group& group : bundle) jobs.push_back(group.job);
        std::vector<float> sums(jobs.size() * kWidth);
        lanes->bundleRespond(jobs.data(), static_cast<int>(jobs.size()), sums.data());
        for (size_t j = 0; j < bundle.size(); ++j)
            for (int g = 0; g < kWidth; ++g)
                EXPECT_TRUE(SameBits(sums[j * kWidth + g], bundle[j].ScalarSum(g, bundle[j].rows)))
                    << "group " << j << " lane " << g;
    }
}

TEST(ConvLanes, LineSharesOverwriteWritersAndSumAllMaps) {
    Numbers numbers(5);
    for (const ConvLanes* lanes : Tables()) {
        SCOPED_TRACE(NameOf(lanes));
        // Widths with tails, exactly four vectors, and wider than four.
        for (const int count : {3, 11, 29, 32, 64, 131}) {
            SCOPED_TRACE(count);
            const int outputs = 17;
            std::vector<float> shares =
                numbers.Floats(static_cast<size_t>(outputs) * count, -0.2f, 0.2f);
            const std::vector<float> weights =
                numbers.Floats(static_cast<size_t>(outputs) * count, -0.5f, 0.5f);
            const std::vector<float> factors =
                numbers.Floats(static_cast<size_t>(outputs), -1.0f, 1.0f);
            std::vector<const float*> sources(static_cast<size_t>(outputs), nullptr);
            for (int i = 0; i < outputs; i += 3)
                sources[static_cast<size_t>(i)] = weights.data() + static_cast<size_t>(i) * count;

            std::vector<float> expectedShares = shares;
            std::vector<float> expectedSum(static_cast<size_t>(count), 0.0f);
            for (int i = 0; i < outputs; ++i) {
                float* row = expectedShares.data() + static_cast<size_t>(i) * count;
                for (int k = 0; k < count; ++k) {
                    if (sources[static_cast<size_t>(i)] != nullptr)
                        row[k] =
                            factors[static_cast<size_t>(i)] * sources[static_cast<size_t>(i)][k];
                    expectedSum[static_cast<size_t>(k)] =
                        expectedSum[static_cast<size_t>(k)] + row[k];
                }
            }
            // Without storing, the same sum and the rows untouched; then with.
            // A guard after the sum: nothing may be written past `count`.
            const std::vector<float> before = shares;
            for (const bool store : {false, true}) {
                SCOPED_TRACE(store ? "rows stored" : "rows kept");
                std::vector<float> sum(static_cast<size_t>(count) + 1, 42.0f);
                lanes->lineShares(shares.data(), sum.data(), sources.data(), factors.data(),
                                  outputs, count, store);
                const std::vector<float>& rows = store ? expectedShares : before;
                EXPECT_EQ(std::memcmp(shares.data(), rows.data(), shares.size() * sizeof(float)),
                          0);
                EXPECT_EQ(
                    std::memcmp(sum.data(), expectedSum.data(), expectedSum.size() * sizeof(float)),
                    0);
                EXPECT_EQ(sum.back(), 42.0f);
            }
        }
    }
}

TEST(ConvLanes, ForwardSumsEqualTheScalarArithmetic) {
    Numbers numbers(17);
    // Five inputs in two phases of planes 200 floats long; four window
    // positions, of which the pattern reads three, out of order.
    const int n = 5;
    const int phases = 2;
    const size_t planeSize = 200;
    const std::vector<float> planes =
        numbers.Floats(static_cast<size_t>(n) * phases * planeSize, 0.0f, 1.0f);
    const std::vector<int> tapPhase{0, 1, 0, 1};
    const std::vector<int> tapOffset{0, 3, 11, 20};
    const std::vector<int> pattern{3, 0, 2};
    const int windowCount = 4;
    // Per block of 16: window bits, all set in the interior blocks (every
    // third), else random with some all set and some clear.
    std::vector<std::uint8_t> validBits;
    std::vector<std::uint8_t> interior;
    for (int block = 0; block < 16; ++block) {
        interior.push_back(block % 3 == 0 ? 1 : 0);
        for (int w = 0; w < windowCount; ++w) {
            const int pick = numbers.Int(0, 3);
            const int bits = pick == 0 ? 0xFF : pick == 1 ? 0x00 : numbers.Int(1, 254);
            validBits.push_back(static_cast<std::uint8_t>(interior.back() != 0 ? 0xFF : bits));
        }
    }
    std::vector<std::vector<float>> weights;
    for (int kernel = 0; kernel < 7; ++kernel)
        weights.push_back(numbers.Floats(pattern.size() * n, -0.5f, 0.5f));
    std::vector<const float*> weightRows;
    for (const std::vector<float>& row : weights) weightRows.push_back(row.data());

    // Neighbouring blocks (tiles of pairs, then a pair and one alone), and
    // blocks apart from each other.
    const std::vector<std::vector<int>> blockLists{
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12}, {1, 5, 6, 9, 15}, {3, 4, 7, 8, 10, 11}};
    for (const ConvLanes* table : Tables()) {
        for (const std::vector<int>& blocks : blockLists) {
            for (const int kernels : {1, 2, 3, 4, 5, 7}) {
                SCOPED_TRACE(NameOf(table) + ", " + std::to_string(blocks.size()) + " blocks, " +
                             std::to_string(kernels) + " kernels");
                ConvLanes::ForwardJob job;
                job.planes = planes.data();
                job.planeSize = planeSize;
                job.phaseCount = phases;
                job.inputCount = n;
                job.pattern = pattern.data();
                job.patternLength = static_cast<int>(pattern.size());
                job.tapPhase = tapPhase.data();
                job.tapOffset = tapOffset.data();
                job.weights = weightRows.data();
                job.kernelCount = kernels;
                job.blocks = blocks.data();
                job.blockCount = static_cast<int>(blocks.size());
                job.validBits = validBits.data();
                job.interior = interior.data();
                job.windowCount = windowCount;
                std::vector<float> sums(static_cast<size_t>(kernels) * blocks.size() * kWidth + 1,
                                        -1.0f);
                table->forwardSums(job, sums.data());
                for (int kernel = 0; kernel < kernels; ++kernel)
                    for (size_t i = 0; i < blocks.size(); ++i)
                        for (int lane = 0; lane < kWidth; ++lane) {
                            float expected = 0.0f;
                            for (size_t j = 0; j < pattern.size(); ++j) {
                                const int w = pattern[j];
                                const std::uint8_t bits =
                                    validBits[static_cast<size_t>(blocks[i]) * windowCount + w];
                                if ((bits >> lane & 1) == 0) continue;
                                for (int k = 0; k < n; ++k)
                                    expected =
                                        planes[(static_cast<size_t>(k) * phases + tapPhase[w]) *
                                                   planeSize +
                                               blocks[i] * kWidth + lane + tapOffset[w]] *
                                            weights[kernel][j * n + k] +
                                        expected;
                            }
                            ASSERT_TRUE(SameBits(sums[(kernel * blocks.size() + i) * kWidth + lane],
                                                 expected))
                                << "kernel " << kernel << " block " << blocks[i] << " lane "
                                << lane;
                        }
                EXPECT_EQ(sums.back(), -1.0f);
            }
        }
    }
}

TEST(ConvLanes, GatherColumnsCopiesTheListedLanes) {
    Numbers numbers(11);
    // Two phases of planes 100 floats long, three inputs; two listed window
    // positions with their own phase and offset. Five blocks: two of
    // sixteen neighbours in a row, one of neighbours beside one of lanes out
    // of order, and one such alone at the end.
    const int n = 3;
    const int phases = 2;
    const size_t planeSize = 100;
    const std::vector<float> planes =
        numbers.Floats(static_cast<size_t>(n) * phases * planeSize, 0.0f, 1.0f);
    const std::vector<int> tapPhase{0, 1, 0};
    const std::vector<int> tapOffset{0, 7, 3};
    const std::vector<int> windows{2, 1};
    const int blockCount = 5;
    std::vector<std::int32_t> lanes;
    for (int i = 0; i < 2 * kWidth; ++i) lanes.push_back(30 + i);
    for (int i = 0; i < kWidth; ++i) lanes.push_back(10 + i);
    for (int i = 0; i < 2 * kWidth; ++i) lanes.push_back((i * 37) % 87 + 3);
    for (const ConvLanes* table : Tables()) {
        SCOPED_TRACE(NameOf(table));
        ConvLanes::GatherJob job;
        job.planes = planes.data();
        job.planeSize = planeSize;
        job.phaseCount = phases;
        job.inputCount = n;
        job.windows = windows.data();
        job.windowCount = 2;
        job.tapPhase = tapPhase.data();
        job.tapOffset = tapOffset.data();
        job.lanes = lanes.data();
        job.blockCount = blockCount;
        std::vector<float> columns(2 * n * lanes.size() + 1, -1.0f);
        table->gatherColumns(job, columns.data());
        for (size_t i = 0; i < windows.size(); ++i)
            for (int k = 0; k < n; ++k)
                for (size_t lane = 0; lane < lanes.size(); ++lane) {
                    const int w = windows[i];
                    const float expected =
                        planes[(static_cast<size_t>(k) * phases + tapPhase[w]) * planeSize +
                               lanes[lane] + tapOffset[w]];
                    ASSERT_TRUE(SameBits(columns[(i * n + k) * lanes.size() + lane], expected))
                        << i << " " << k << " " << lane;
                }
        EXPECT_EQ(columns.back(), -1.0f);

        // From the planes themselves: each input its own plane, lanes at
        // their own offsets plus the window's shift, cleared bits read
        // nothing and give 0. Per block, the bits of window numbers 0 to 2:
        // the two blocks of neighbours all inside for window 2 only.
        std::vector<const float*> sources;
        for (int k = 0; k < n; ++k) sources.push_back(planes.data() + static_cast<size_t>(k) * 60);
        const std::vector<int> windowShift{0, -3, 4};
        const std::vector<std::uint8_t> valid{0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x00,
                                              0xFF, 0x00, 0xFF, 0x5A, 0x00, 0xFF, 0x81};
        job.sources = sources.data();
        job.sourceLanes = lanes.data();
        job.windowShift = windowShift.data();
        job.valid = valid.data();
        job.validStride = 3;
        std::fill(columns.begin(), columns.end(), -1.0f);
        table->gatherColumns(job, columns.data());
        for (size_t i = 0; i < windows.size(); ++i)
            for (int k = 0; k < n; ++k)
                for (size_t lane = 0; lane < lanes.size(); ++lane) {
                    const int w = windows[i];
                    const bool inside = (valid[lane / kWidth * 3 + w] >> (lane % kWidth) & 1) != 0;
                    const float expected = inside ? sources[k][lanes[lane] + windowShift[w]] : 0.0f;
                    ASSERT_TRUE(SameBits(columns[(i * n + k) * lanes.size() + lane], expected))
                        << "planes " << i << " " << k << " " << lane;
                }
        EXPECT_EQ(columns.back(), -1.0f);
    }
}

TEST(ConvLanes, AddRowsAddsAndClipsOnlyActiveLanes) {
    Numbers numbers(5);
    for (const ConvLanes* table : Tables()) {
        SCOPED_TRACE(NameOf(table));
        for (const int count : {3, 29, 64}) {
            SCOPED_TRACE(count);
            // Sums wide enough that results clip at both ends; a NaN input
            // stays NaN.
            const std::vector<float> sums =
                numbers.Floats(static_cast<size_t>(kWidth) * count, -1.5f, 1.5f);
            std::vector<std::vector<float>> planes;
            std::vector<float*> rows;
            for (int k = 0; k < count; ++k) {
                planes.push_back(numbers.Floats(kWidth + 1, 0.0f, 1.0f));
                rows.push_back(planes.back().data());
            }
            planes[1][2] = std::numeric_limits<float>::quiet_NaN();
            std::vector<std::vector<float>> expected = planes;
            const std::uint8_t active = 0xB6;
            for (int lane = 0; lane < kWidth; ++lane) {
                if ((active >> lane & 1) == 0) continue;
                for (int k = 0; k < count; ++k) {
                    float& value = expected[static_cast<size_t>(k)][static_cast<size_t>(lane)];
                    value = value + sums[static_cast<size_t>(lane) * count + k];
                    if (value > 1.0f) value = 1.0f;
                    if (value < 0.0f) value = 0.0f;
                }
            }
            table->addRows(rows.data(), sums.data(), count, active);
            for (int k = 0; k < count; ++k)
                for (int lane = 0; lane <= kWidth; ++lane)
                    ASSERT_TRUE(
                        SameBits(planes[static_cast<size_t>(k)][static_cast<size_t>(lane)],
                                 expected[static_cast<size_t>(k)][static_cast<size_t>(lane)]))
                        << k << " " << lane;
        }
    }
}

TEST(ConvLanes, NonFiniteChecksLookOnlyAtRealLanes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const ConvLanes* lanes : Tables()) {
        SCOPED_TRACE(NameOf(lanes));
        // Activations: a NaN in a lane without an active field is ignored,
        // in an active one it fails; the clip matches the scalar kernel's.
        std::vector<float> sums{-3.0f, 0.0f, 0.25f, 0.75f, 5.0f, nan, -0.0f, 0.5f};
        const std::vector<int> blocks{2};
        std::vector<std::uint8_t> activeBits{0, 0, 0x1F};
        std::vector<float> activations(3 * kWidth, -1.0f);
        ASSERT_TRUE(lanes->activate(sums.data(), blocks.data(), 1, activeBits.data(), 0.25f, 0.01f,
                                    activations.data()));
        const float expected[] = {0.01f, 0.25f, 0.5f, 1.0f, 1.0f};
        for (int lane = 0; lane < 5; ++lane)
            EXPECT_EQ(activations[2 * kWidth + static_cast<size_t>(lane)], expected[lane]) << lane;
        activeBits[2] = 0x20;
        EXPECT_FALSE(lanes->activate(sums.data(), blocks.data(), 1, activeBits.data(), 0.25f, 0.01f,
                                     activations.data()));

        // Interleaved weights: padding lanes may hold anything.
        std::vector<float> weights(static_cast<size_t>(3) * 16, 0.5f);
        weights[2 * 16 + 13] = inf;  // lane 13 is padding for 11 members
        EXPECT_TRUE(lanes->allFinite(weights.data(), 11, 16, 3));
        weights[1 * 16 + 10] = nan;
        EXPECT_FALSE(lanes->allFinite(weights.data(), 11, 16, 3));
    }
}

TEST(ConvLanes, InterleavingIsACopyBothWays) {
    Numbers numbers(9);
    for (const ConvLanes* lanes : Tables()) {
        SCOPED_TRACE(NameOf(lanes));
        for (const int members : {1, 7, 8, 13, 29}) {
            const int laneCount = (members + kWidth - 1) / kWidth * kWidth;
            const int count = 21;  // not a multiple of eight
            std::vector<std::vector<float>> rows;
            std::vector<const float*> sources;
            for (int g = 0; g < members; ++g) {
                rows.push_back(numbers.Floats(static_cast<size_t>(count), -1.0f, 1.0f));
                sources.push_back(rows.back().data());
            }
            std::vector<float> lanesOut(static_cast<size_t>(count) * laneCount, 7.0f);
            lanes->interleave(lanesOut.data(), sources.data(), members, laneCount, count);
            for (int i = 0; i < count; ++i)
                for (int g = 0; g < laneCount; ++g)
                    ASSERT_EQ(
                        lanesOut[static_cast<size_t>(i) * laneCount + g],
                        g < members ? rows[static_cast<size_t>(g)][static_cast<size_t>(i)] : 0.0f)
                        << "weight " << i << " lane " << g;

            std::vector<std::vector<float>> back(
                static_cast<size_t>(members),
                std::vector<float>(static_cast<size_t>(count) + 1, 9.0f));
            std::vector<float*> destinations;
            for (std::vector<float>& row : back) destinations.push_back(row.data());
            lanes->deinterleave(destinations.data(), lanesOut.data(), members, laneCount, count);
            for (int g = 0; g < members; ++g) {
                EXPECT_EQ(std::memcmp(back[static_cast<size_t>(g)].data(),
                                      rows[static_cast<size_t>(g)].data(), count * sizeof(float)),
                          0)
                    << "member " << g;
                EXPECT_EQ(back[static_cast<size_t>(g)].back(), 9.0f);
            }
        }
    }
}

TEST(ConvLanes, ReorderedChunksHoldEveryMapOnceInWholeVectors) {
    StartedPools pools(2);
    // The first module's shape: sizes 3 and 5 alternate with the map index,
    // so round robin puts every 5-wide kernel into the second of two chunks.
    ConvolutionLayer first(cv::Size(3, 3), cv::Size(5, 5), 3, 29, 1, &pools, true);
    first.Configure(cv::Size(16, 16));
    ConvChunkBalance balance;
    EXPECT_FALSE(balance.Balance(1, first.FastPath().Layout(), first.Outputs()));
    ASSERT_TRUE(balance.Balance(2, first.FastPath().Layout(), first.Outputs()));
    const std::vector<FeatureMap>& items = balance.Items();
    std::vector<int> seen(29, 0);
    std::vector<std::vector<const ConvKernel*>> chunks(2);
    for (size_t k = 0; k < items.size(); ++k) {
        if (items[k].kernel == nullptr) continue;
        ++seen[static_cast<size_t>(items[k].kernel->Index())];
        EXPECT_EQ(items[k].image,
                  first.Outputs()[static_cast<size_t>(items[k].kernel->Index())].image);
        chunks[k % 2].push_back(items[k].kernel);
    }
    for (int i = 0; i < 29; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], 1) << "map " << i;
    // Each chunk has both sizes, and the pattern lengths it carries differ
    // by far less than the plain split's 3 against 5.
    size_t work[2] = {0, 0};
    for (size_t c = 0; c < 2; ++c) {
        std::set<int> widths;
        for (const ConvKernel* kernel : chunks[c]) {
            widths.insert(kernel->Width());
            work[c] += kernel->Pattern().size();
        }
        EXPECT_EQ(widths.size(), 2u) << "chunk " << c;
    }
    EXPECT_LT(std::max(work[0], work[1]), std::min(work[0], work[1]) * 3 / 2);

    // Kernels of one size only, and few per pattern: round robin leaves
    // one-vector groups half empty, whole groups per chunk do not.
    ConvolutionLayer inner(cv::Size(3, 3), cv::Size(3, 3), 32, 32, 1, &pools, false);
    inner.Configure(cv::Size(8, 8));
    EXPECT_TRUE(ConvChunkBalance().Balance(2, inner.FastPath().Layout(), inner.Outputs()));
}

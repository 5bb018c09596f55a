// The vector lane tables against the portable one, bit for bit: taps read
// outside the window, which the layer comparisons miss, show here.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "layers/ConvLanes.h"

TEST(ConvLanes, ForwardSumsOfEveryTableMatchThePortableOne) {
    std::mt19937 engine(17);
    const auto floats = [&](size_t count, float low, float high) {
        std::vector<float> values(count);
        for (float& value : values)
            value = std::uniform_real_distribution<float>(low, high)(engine);
        return values;
    };
    // Five inputs in two phases of planes 200 floats long; four window
    // positions, of which the pattern reads three, out of order. Per block of
    // eight lanes: window bits all set in interior blocks, else all, none or
    // some; planes non-zero everywhere, so a tap read outside its window shows.
    const int n = 5;
    const std::vector<float> planes = floats(n * 2 * 200, 0.5f, 1.0f);
    const std::vector<int> tapPhase{0, 1, 0, 1}, tapOffset{0, 3, 11, 20}, pattern{3, 0, 2};
    std::vector<std::uint8_t> validBits, interior;
    for (int block = 0; block < 16; ++block) {
        interior.push_back(block % 3 == 0 ? 1 : 0);
        for (int w = 0; w < 4; ++w) {
            const int pick = static_cast<int>(engine() % 3);
            validBits.push_back(interior.back() ? 0xFF : pick == 0 ? 0xFF : pick == 1 ? 0 : 0x5A);
        }
    }
    std::vector<std::vector<float>> weights;
    std::vector<const float*> weightRows;
    for (int kernel = 0; kernel < 7; ++kernel)
        weights.push_back(floats(pattern.size() * n, -0.5f, 0.5f));
    for (const std::vector<float>& row : weights) weightRows.push_back(row.data());

    std::vector<const ConvLanes*> tables{&ConvLanes::Portable()};
    for (const ConvLanes* table : {ConvLanes::Avx2(), ConvLanes::Avx512()})
        if (table != nullptr) tables.push_back(table);
    if (tables.size() == 1) GTEST_SKIP() << "no vector table on this processor";
    // Neighbouring blocks (tiles of pairs, then a pair and one alone), and
    // blocks apart from each other; one to seven kernels.
    for (const std::vector<int>& blocks : std::vector<std::vector<int>>{
             {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12}, {1, 5, 6, 9, 15}, {3, 4, 7, 8, 10, 11}}) {
        for (const int kernels : {1, 2, 3, 4, 5, 7}) {
            const ConvLanes::ForwardJob job{planes.data(),
                                            200,
                                            2,
                                            n,
                                            pattern.data(),
                                            3,
                                            tapPhase.data(),
                                            tapOffset.data(),
                                            weightRows.data(),
                                            kernels,
                                            blocks.data(),
                                            static_cast<int>(blocks.size()),
                                            validBits.data(),
                                            interior.data(),
                                            4};
            std::vector<std::vector<float>> sums;
            for (const ConvLanes* table : tables) {
                sums.emplace_back(kernels * blocks.size() * ConvLanes::kWidth + 1, -7.0f);
                table->forwardSums(job, sums.back().data());
            }
            for (size_t t = 1; t < tables.size(); ++t)
                EXPECT_EQ(
                    std::memcmp(sums[t].data(), sums[0].data(), sums[0].size() * sizeof(float)), 0)
                    << "table " << t << ", " << blocks.size() << " blocks, " << kernels
                    << " kernels";
            EXPECT_EQ(sums[0].back(), -7.0f);
        }
    }
}

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "cli/Scores.h"
#include "common/SampleOrder.h"

TEST(Scores, OneHotMarksOnlyTheWantedCategory) {
    EXPECT_EQ(Scores::OneHot(2, 4), (std::vector<float>{0.0f, 0.0f, 1.0f, 0.0f}));
    EXPECT_THROW(Scores::OneHot(3, 3), std::out_of_range);
}

TEST(Scores, TopRanksBestFirstAndKeepsOrderOnTies) {
    const std::vector<float> scores{0.1f, 0.7f, 0.3f, 0.7f, 0.9f};
    EXPECT_EQ(Scores::Top(scores, 3), (std::vector<std::size_t>{4, 1, 3}));
    EXPECT_EQ(Scores::Top(scores, 1), (std::vector<std::size_t>{4}));
    EXPECT_EQ(Scores::Top(scores, 9), (std::vector<std::size_t>{4, 1, 3, 2, 0}));
}

// The first three outputs of mt19937 seeded 5489 are 3499211612, 581869302
// and 3890346734. Shuffling 0,1,2,3 swaps position 3 with 3499211612 % 4 = 0,
// giving 3,1,2,0; position 2 with 581869302 % 3 = 0, giving 2,1,3,0; position
// 1 with 3890346734 % 2 = 0, giving 1,2,3,0.
TEST(SampleOrder, ShufflesTheSameWayForTheSameSeed) {
    std::vector<std::size_t> order{0, 1, 2, 3};
    SampleOrder(5489).Shuffle(order);
    EXPECT_EQ(order, (std::vector<std::size_t>{1, 2, 3, 0}));

    // Another seed, another order; still every sample exactly once.
    std::vector<std::size_t> all(50), other(50);
    std::iota(all.begin(), all.end(), std::size_t{0});
    other = all;
    SampleOrder(8).Shuffle(other);
    EXPECT_NE(other, all);
    std::sort(other.begin(), other.end());
    EXPECT_EQ(other, all);

    // Successive epochs of one run differ.
    std::vector<std::size_t> epoch1 = all, epoch2 = all;
    SampleOrder run(7);
    run.Shuffle(epoch1);
    epoch2 = epoch1;
    run.Shuffle(epoch2);
    EXPECT_NE(epoch1, epoch2);
}

TEST(SampleOrder, PicksAFixedRandomSubset) {
    EXPECT_EQ(SampleOrder(1).Pick(4, 0), (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(SampleOrder(1).Pick(4, 4), (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(SampleOrder(1).Pick(4, 9), (std::vector<std::size_t>{0, 1, 2, 3}));
    // The first two of the seed-5489 shuffle worked out above.
    EXPECT_EQ(SampleOrder(5489).Pick(4, 2), (std::vector<std::size_t>{1, 2}));

    const std::vector<std::size_t> picked = SampleOrder(3).Pick(1000, 100);
    EXPECT_EQ(picked, SampleOrder(3).Pick(1000, 100));
    std::vector<std::size_t> sorted = picked;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_LT(sorted.back(), 1000u);
    // Not simply the first hundred: a folder data set is sorted by category.
    EXPECT_GT(sorted.back(), 500u);
}

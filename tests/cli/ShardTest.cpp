#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "cli/ResultTable.h"
#include "cli/Shard.h"

TEST(Shard, SlicesTakeEachPositionExactlyOnce) {
    // Shard i of n takes positions i, i + n, i + 2n, ...
    EXPECT_EQ(Shard::Parse("1/3").Select(std::vector<int>{0, 1, 2, 3, 4, 5, 6}),
              (std::vector<int>{1, 4}));
    EXPECT_EQ(Shard().Select(std::vector<int>{7, 8}), (std::vector<int>{7, 8}));
    for (std::size_t n = 1; n <= 4; ++n) {
        for (std::size_t position = 0; position < 11; ++position) {
            int takers = 0;
            for (std::size_t i = 0; i < n; ++i)
                takers += Shard::Parse(std::to_string(i) + "/" + std::to_string(n)).Takes(position);
            EXPECT_EQ(takers, 1) << position << " of " << n << " shards";
        }
    }
}

TEST(Shard, RefusesWhatIsNotASlice) {
    for (const char* text : {"", "1", "0/0", "2/2", "3/2", "-1/2", "a/2", "1/b", "1/2/3", " 1/2",
                             "1234567890/2000000000"}) {
        EXPECT_THROW(Shard::Parse(text), std::invalid_argument) << text;
    }
    EXPECT_EQ(Shard::Parse("0/1").Count(), 1u);
    EXPECT_EQ(Shard::Parse("41/42").Index(), 41u);
}

TEST(ResultTable, QuotesFieldsThatWouldBreakARow) {
    EXPECT_EQ(ResultTable::Field("plain"), "plain");
    EXPECT_EQ(ResultTable::Field("a,b"), "\"a,b\"");
    EXPECT_EQ(ResultTable::Field("say \"hi\""), "\"say \"\"hi\"\"\"");
    // Nine significant digits tell neighbouring floats apart.
    EXPECT_EQ(ResultTable::Number(0.1f), "0.100000001");
    EXPECT_NE(ResultTable::Number(0.5f), ResultTable::Number(std::nextafter(0.5f, 1.0f)));
}

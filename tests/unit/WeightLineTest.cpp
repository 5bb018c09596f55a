#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

#include "network/WeightLine.h"

namespace {

struct Outcome {
    std::vector<float> values;  // what was stored, in order
    std::string rest;           // what the source still holds afterwards
};

// Runs one reader over `text` into a group of `capacity` slots.
Outcome ReadWith(size_t (*reader)(std::streambuf&, const WeightGroup&), const std::string& text,
                 size_t capacity = 8) {
    std::stringbuf source(text);
    std::vector<float> slots(capacity, -99.0f);
    WeightGroup group;
    for (float& slot : slots) group.push_back(&slot);
    const size_t stored = reader(source, group);
    slots.resize(stored);
    return {slots, std::string(std::istreambuf_iterator<char>(&source), {})};
}

Outcome Fast(const std::string& text, size_t capacity = 8) {
    return ReadWith(WeightLine::Read, text, capacity);
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(WeightLine, ReadsValuesUntilTheFirstThatDoesNot) {
    using Values = std::vector<float>;
    EXPECT_EQ(Fast("0.5;0.25;-2;\nnext").values, (Values{0.5f, 0.25f, -2.0f}));
    EXPECT_EQ(Fast("0.5;0.25;-2;\nnext").rest, "next");  // the line end is consumed
    EXPECT_EQ(Fast("0.5;x;0.7;\nnext").values, Values{0.5f});
    EXPECT_EQ(Fast("0.5;x;0.7;\nnext").rest, "next");  // the rest of the line is skipped
    // Leading blanks are skipped; a blank before ";" ends the line after 7.
    EXPECT_EQ(Fast(" \t7 ; 8;").values, Values{7.0f});
    // Signs, a bare decimal point on either side, exponents, leading zeros.
    EXPECT_EQ(Fast(".5;-.25;+3;1.;0.e1;00012;2E2;5e-1;").values,
              (Values{0.5f, -0.25f, 3.0f, 1.0f, 0.0f, 12.0f, 200.0f, 0.5f}));
    // "1,5" reads 1, then "," is no number. An exponent marker without
    // digits spoils its number. A second point starts the next number.
    EXPECT_EQ(Fast("1,5;").values, Values{1.0f});
    EXPECT_EQ(Fast("3;1e;2;").values, Values{3.0f});
    EXPECT_EQ(Fast("3;1e+;2;").values, Values{3.0f});
    EXPECT_EQ(Fast("1.5.25;").values, (Values{1.5f, 0.25f}));
    // Windows line ends, a last value without ";", an empty line.
    EXPECT_EQ(Fast("1;2;\r\n3;").values, (Values{1.0f, 2.0f}));
    EXPECT_EQ(Fast("4").values, Values{4.0f});
    EXPECT_EQ(Fast("\n5;").values, Values{});
    // A full group stops the line; the surplus is skipped, not stored.
    const Outcome full = Fast("1;2;3;4;\nnext", 2);
    EXPECT_EQ(full.values, (Values{1.0f, 2.0f}));
    EXPECT_EQ(full.rest, "next");
}

TEST(WeightLine, NumbersBeyondTheFloatRange) {
    // The largest float, 3.40282347e38, reads; 3.4028236e38 lies past the
    // half-way point to the next power of two and ends the line, as does
    // 1e39. Numbers below half the smallest denormal (1.4e-45 / 2) read as
    // zero of their sign; 8e-46 rounds up to the smallest denormal.
    EXPECT_EQ(Fast("3.4028235e38;").values, std::vector<float>{FLT_MAX});
    EXPECT_EQ(Fast("1;3.4028236e38;2;").values, std::vector<float>{1.0f});
    EXPECT_EQ(Fast("1;1e39;2;").values, std::vector<float>{1.0f});
    EXPECT_EQ(Fast("1;-1e39;2;").values, std::vector<float>{1.0f});
    const Outcome tiny = Fast("1e-50;-1e-50;7e-46;8e-46;1e-99999999999;0e99999999999;");
    ASSERT_EQ(tiny.values.size(), 6u);
    EXPECT_TRUE(SameBits(tiny.values[0], 0.0f));
    EXPECT_TRUE(SameBits(tiny.values[1], -0.0f));
    EXPECT_TRUE(SameBits(tiny.values[2], 0.0f));
    EXPECT_EQ(tiny.values[3], std::nextafter(0.0f, 1.0f));
    EXPECT_TRUE(SameBits(tiny.values[4], 0.0f));
    EXPECT_TRUE(SameBits(tiny.values[5], 0.0f));
    // "0." then 52 zeros then "1" is 1e-53; times 1e60 that is 1e7.
    EXPECT_EQ(Fast("0." + std::string(52, '0') + "1e60;").values, std::vector<float>{1e7f});
}

TEST(WeightLine, FastReaderMatchesTheStreamBitForBit) {
    // Random lines over the characters that matter to a number, and lines of
    // saved-looking values, each followed by a second line: both readers
    // must store the same bits and leave the same rest.
    std::mt19937 random(20240611);
    const std::string alphabet = "0123456789012345.....eE+-;;;;  \t\rx";
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_real_distribution<float> weight(-0.2f, 0.2f);
    std::uniform_int_distribution<int> power(-60, 60);
    int compared = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string line;
        if (round % 2 == 0) {
            for (int k = length(random); k > 0; --k) line += alphabet[pick(random)];
        } else {
            std::ostringstream values;
            for (int k = length(random) / 4; k > 0; --k)
                values << weight(random) * std::pow(10.0f, static_cast<float>(power(random)))
                       << (k % 7 ? ";" : "e;");
            line = values.str();
        }
        const std::string text = line + "\n9;";
        const Outcome fast = ReadWith(WeightLine::Read, text, 12);
        const Outcome plain = ReadWith(WeightLine::ReadReference, text, 12);
        ASSERT_EQ(fast.values.size(), plain.values.size()) << "line: " << line;
        for (size_t k = 0; k < fast.values.size(); ++k)
            ASSERT_TRUE(SameBits(fast.values[k], plain.values[k]))
                << "line: " << line << " value " << k << ": " << fast.values[k] << " vs "
                << plain.values[k];
        ASSERT_EQ(fast.rest, plain.rest) << "line: " << line;
        compared += static_cast<int>(fast.values.size());
    }
    EXPECT_GT(compared, 20000);  // the lines held numbers, not only noise
}

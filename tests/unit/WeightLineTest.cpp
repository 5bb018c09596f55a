#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>

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
    // Text, group size, what is stored and what the source still holds: the
    // line end is consumed, the rest of a line after a non-number skipped.
    const std::vector<std::tuple<std::string, size_t, Values, std::string>> cases{
        {"0.5;0.25;-2;\nnext", 8, {0.5f, 0.25f, -2.0f}, "next"},
        {"0.5;x;0.7;\nnext", 8, {0.5f}, "next"},
        {" \t7 ; 8;", 8, {7.0f}, ""},  // a blank before ";" ends the line
        {".5;-.25;+3;1.;0.e1;00012;2E2;5e-1;",
         8,
         {0.5f, -0.25f, 3.0f, 1.0f, 0.0f, 12.0f, 200.0f, 0.5f},
         ""},
        {"1,5;", 8, {1.0f}, ""},     // "," is no number
        {"3;1e;2;", 8, {3.0f}, ""},  // an exponent marker without digits
        {"3;1e+;2;", 8, {3.0f}, ""},
        {"1.5.25;", 8, {1.5f, 0.25f}, ""},  // a second point starts a number
        {"1;2;\r\n3;", 8, {1.0f, 2.0f}, "3;"},
        {"4", 8, {4.0f}, ""},
        {"\n5;", 8, {}, "5;"},
        {"1;2;3;4;\nnext", 2, {1.0f, 2.0f}, "next"},  // the surplus is skipped
    };
    for (const auto& [text, capacity, values, rest] : cases) {
        const Outcome outcome = Fast(text, capacity);
        EXPECT_EQ(outcome.values, values) << text;
        EXPECT_EQ(outcome.rest, rest) << text;
    }
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
    const float expected[] = {0.0f, -0.0f, 0.0f, std::nextafter(0.0f, 1.0f), 0.0f, 0.0f};
    ASSERT_EQ(tiny.values.size(), 6u);
    for (int k = 0; k < 6; ++k) EXPECT_TRUE(SameBits(tiny.values[k], expected[k])) << k;
    // "0." then 52 zeros then "1" is 1e-53; times 1e60 that is 1e7.
    EXPECT_EQ(Fast("0." + std::string(52, '0') + "1e60;").values, std::vector<float>{1e7f});
}

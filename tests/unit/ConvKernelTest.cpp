#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <string>

#include "layers/ConvKernel.h"
#include "support/ThrownText.h"

namespace {

using Window = std::vector<DepthLine*>;
using Offsets = std::vector<cv::Point>;

// Depth lines over input values that the test owns; addresses stay stable.
class Lines {
  public:
    Lines(int inputCount, int outputCount) : inputCount_(inputCount), outputCount_(outputCount) {}

    DepthLine* Make(std::vector<float> values) {
        values_.push_back(std::move(values));
        lines_.emplace_back(inputCount_, outputCount_);
        DepthLine& line = lines_.back();
        for (int k = 0; k < inputCount_; ++k) line.inputs[k] = &values_.back()[k];
        return &line;
    }

  private:
    int inputCount_;
    int outputCount_;
    std::deque<std::vector<float>> values_;
    std::deque<DepthLine> lines_;
};

void SetWeights(ConvKernel& kernel, std::vector<float> weights) {
    ASSERT_EQ(weights.size(), kernel.Weights().size());
    std::copy(weights.begin(), weights.end(), kernel.MutableWeights());
}

// A kind-0 (horizontal) size-3 kernel over two inputs: pattern 0, 4, 5, i.e.
// the centre, its left and its right neighbour. Weights by entry and input:
//   centre (0.25, 0.5), left (0.125, -0.25), right (8, 8), bias 0.0625.
// The window is 5 wide (25 numbers): lines at the centre (0.5, 0.25) and on
// the left (1.0, 0.75); the right is outside the input; a decoy line at
// number 1 (above left) is not in the pattern and must never be read.
struct SmallLayer {
    Lines lines{2, 3};
    Window window = Window(25, nullptr);
    DepthLine* centre = nullptr;
    DepthLine* left = nullptr;
    DepthLine* decoy = nullptr;

    SmallLayer() {
        centre = window[0] = lines.Make({0.5f, 0.25f});
        left = window[4] = lines.Make({1.0f, 0.75f});
        decoy = window[1] = lines.Make({100.0f, 100.0f});
    }
    ConvKernel Kernel(int index) {
        ConvKernel kernel(index, cv::Size(3, 3), 2, 0);
        SetWeights(kernel, {0.25f, 0.5f, 0.125f, -0.25f, 8.0f, 8.0f, 0.0625f});
        return kernel;
    }
};

}  // namespace

TEST(ConvKernelWindow, NumbersPositionsRingByRing) {
    const Offsets offsets = ConvKernel::WindowOffsets(7);
    ASSERT_EQ(offsets.size(), 49u);
    EXPECT_EQ(offsets[0], cv::Point(0, 0));

    const Offsets ring3 = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};
    EXPECT_EQ(Offsets(offsets.begin() + 1, offsets.begin() + 9), ring3);

    const Offsets ring5 = {{-2, -2}, {-1, -2}, {0, -2}, {1, -2}, {2, -2}, {-2, -1},
                           {2, -1},  {-2, 0},  {2, 0},  {-2, 1}, {2, 1},  {-2, 2},
                           {-1, 2},  {0, 2},   {1, 2},  {2, 2}};
    EXPECT_EQ(Offsets(offsets.begin() + 9, offsets.begin() + 25), ring5);

    // Ring 7: top row 25-31, side pairs 32-41, bottom row 42-48.
    EXPECT_EQ(offsets[25], cv::Point(-3, -3));
    EXPECT_EQ(offsets[31], cv::Point(3, -3));
    EXPECT_EQ(offsets[32], cv::Point(-3, -2));
    EXPECT_EQ(offsets[33], cv::Point(3, -2));
    EXPECT_EQ(offsets[36], cv::Point(-3, 0));
    EXPECT_EQ(offsets[41], cv::Point(3, 2));
    EXPECT_EQ(offsets[42], cv::Point(-3, 3));
    EXPECT_EQ(offsets[48], cv::Point(3, 3));

    // Smaller windows are prefixes of larger ones.
    EXPECT_EQ(ConvKernel::WindowOffsets(1), Offsets{cv::Point(0, 0)});
    EXPECT_EQ(ConvKernel::WindowOffsets(3), Offsets(offsets.begin(), offsets.begin() + 9));
    EXPECT_EQ(ConvKernel::WindowOffsets(5), Offsets(offsets.begin(), offsets.begin() + 25));
}

TEST(ConvKernelCreate, PatternFollowsKindAndSize) {
    EXPECT_EQ(ConvKernel(0, cv::Size(5, 5), 1, 0).Pattern(), (std::vector<int>{0, 4, 5, 16, 17}));
    EXPECT_EQ(ConvKernel(0, cv::Size(5, 5), 1, 3).Pattern(), (std::vector<int>{0, 1, 8, 4, 24}));
    EXPECT_EQ(ConvKernel(0, cv::Size(3, 3), 1, 1).Pattern(), (std::vector<int>{0, 2, 7}));
    EXPECT_EQ(ConvKernel(0, cv::Size(3, 3), 1, 4).Pattern(),
              (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(ConvKernel(0, cv::Size(5, 5), 1, 4).Pattern().size(), 25u);
    EXPECT_EQ(ConvKernel(0, cv::Size(5, 5), 1, 4).Pattern().back(), 24);

    // Full-length lines land on the intended positions of a 7-wide window;
    // the falling diagonal has (-1, 0) as its fourth point instead of (-2, -2).
    const Offsets offsets = ConvKernel::WindowOffsets(7);
    const std::vector<Offsets> lines = {
        {{0, 0}, {-1, 0}, {1, 0}, {-2, 0}, {2, 0}, {-3, 0}, {3, 0}},
        {{0, 0}, {0, -1}, {0, 1}, {0, -2}, {0, 2}, {0, -3}, {0, 3}},
        {{0, 0}, {1, -1}, {-1, 1}, {2, -2}, {-2, 2}, {3, -3}, {-3, 3}},
        {{0, 0}, {-1, -1}, {1, 1}, {-1, 0}, {2, 2}, {-3, -3}, {3, 3}}};
    for (int kind = 0; kind < 4; ++kind) {
        const ConvKernel kernel(0, cv::Size(7, 7), 1, kind);
        Offsets reached;
        for (int number : kernel.Pattern()) reached.push_back(offsets[number]);
        EXPECT_EQ(reached, lines[kind]) << "kind " << kind;
    }
}

TEST(ConvKernelCreate, OneWeightPerPatternEntryAndInputPlusBias) {
    const ConvKernel square(7, cv::Size(3, 3), 29, 4);
    EXPECT_EQ(square.WeightCount(), 261);  // 9 entries x 29 inputs
    EXPECT_EQ(square.Weights().size(), 262u);
    EXPECT_EQ(square.Index(), 7);
    EXPECT_EQ(square.Kind(), 4);
    EXPECT_EQ(square.Width(), 3);
    EXPECT_EQ(square.Height(), 3);
    EXPECT_EQ(square.InputCount(), 29);
    EXPECT_EQ(square.Slope(), 0.01f);
    EXPECT_EQ(square.Rate(), 0.03f);

    const ConvKernel line(0, cv::Size(5, 5), 4, 1, 0.5f);
    EXPECT_EQ(line.WeightCount(), 20);  // 5 entries x 4 inputs
    EXPECT_EQ(line.Weights().size(), 21u);
    EXPECT_EQ(line.Rate(), 0.5f);
}

TEST(ConvKernelCreate, InitialWeightsAreTheNextRandValuesScaledToATenth) {
    std::srand(4711);
    std::vector<long long> draws(263);
    for (long long& draw : draws) draw = std::rand();

    std::srand(4711);
    const ConvKernel kernel(0, cv::Size(3, 3), 29, 4);
    ASSERT_EQ(kernel.Weights().size(), 262u);
    for (size_t i = 0; i < kernel.Weights().size(); ++i) {
        // A draw in 0 .. 32767 (the generator's top 15 bits where it is wider)
        // divided by 32767 lies in [0, 1]; times 0.2 minus 0.1 gives [-0.1, 0.1].
        const int r = static_cast<int>(draws[i] * 32768 / (RAND_MAX + 1LL));
        ASSERT_LE(r, 32767);
        const float expected = static_cast<float>(r) / 32767.0f * 0.2f - 0.1f;
        EXPECT_EQ(kernel.Weights()[i], expected) << "weight " << i;
        EXPECT_GE(kernel.Weights()[i], -0.1f);
        EXPECT_LE(kernel.Weights()[i], 0.1f);
    }
    // Exactly one draw per weight, bias included, and no reseeding.
    EXPECT_EQ(std::rand(), draws[262]);
}

TEST(ConvKernelRespond, ActivationFloorsAtSlopeAndCapsAtOne) {
    Lines lines(1, 1);
    Window window(9, nullptr);
    window[0] = lines.Make({1.0f});
    ConvKernel kernel(0, cv::Size(3, 3), 1, 0);

    // total = bias + 1 x centre weight
    SetWeights(kernel, {1.0f, 0.0f, 0.0f, -1.0f});  // -1 + 1 = 0
    EXPECT_EQ(kernel.Respond(window), 0.01f);
    EXPECT_EQ(kernel.Output(), 0.01f);
    SetWeights(kernel, {1.0f, 0.0f, 0.0f, -3.0f});  // -3 + 1 = -2: the slope, not -0.02
    EXPECT_EQ(kernel.Respond(window), 0.01f);
    SetWeights(kernel, {0.25f, 0.0f, 0.0f, 0.25f});  // 0.25 + 0.25 = 0.5
    EXPECT_EQ(kernel.Respond(window), 0.5f);
    EXPECT_EQ(kernel.Output(), 0.5f);
    SetWeights(kernel, {2.0f, 0.0f, 0.0f, 1.0f});  // 1 + 2 = 3
    EXPECT_EQ(kernel.Respond(window), 1.0f);
    EXPECT_EQ(kernel.DerivativeFactor(), 0.999f);
    // A NaN bias is "not greater than 0" as well.
    SetWeights(kernel, {0.0f, 0.0f, 0.0f, std::numeric_limits<float>::quiet_NaN()});
    EXPECT_EQ(kernel.Respond(window), 0.01f);

    kernel.SetOutput(0.0f);
    EXPECT_EQ(kernel.DerivativeFactor(), 0.01f);
    kernel.SetOutput(-0.5f);
    EXPECT_EQ(kernel.DerivativeFactor(), 0.01f);
    kernel.SetOutput(1e-6f);
    EXPECT_EQ(kernel.DerivativeFactor(), 0.999f);
}

TEST(ConvKernelRespond, WindowOutsideInputGivesClippedBias) {
    const Window outside(25, nullptr);
    ConvKernel kernel(0, cv::Size(3, 3), 2, 4);
    std::vector<float> weights(19, 5.0f);
    weights.back() = -0.05f;
    SetWeights(kernel, weights);
    EXPECT_EQ(kernel.Respond(outside), 0.01f);
    weights.back() = 0.07f;
    SetWeights(kernel, weights);
    EXPECT_EQ(kernel.Respond(outside), 0.07f);
}

TEST(ConvKernelRespond, SumsEveryInputAtPresentPatternEntries) {
    SmallLayer layer;
    ConvKernel kernel = layer.Kernel(0);
    // centre: 0.5 x 0.25 + 0.25 x 0.5 = 0.25; left: 1.0 x 0.125 + 0.75 x -0.25 = -0.0625;
    // right is outside; total = 0.0625 + 0.1875 = 0.25.
    EXPECT_EQ(kernel.Respond(layer.window), 0.25f);
    EXPECT_EQ(kernel.Output(), 0.25f);
}

TEST(ConvKernelRespond, AddsProductsInLayoutOrderThenBias) {
    // With all weights 1 the products in layout order are 1, 2^25, -2^25, 0.
    // Floats near 2^25 are 4 apart, so 1 + 2^25 rounds to 2^25 and the sum
    // ends at 0: output = bias 0.25. Adding backwards would keep the 1 (total
    // 1.25, capped to 1.0); starting from the bias would lose 1.25 as well
    // (total 0, output 0.01).
    const float big = 33554432.0f;  // 2^25
    Lines lines(2, 1);
    Window window(9, nullptr);
    window[0] = lines.Make({1.0f, big});
    window[4] = lines.Make({-big, 0.0f});
    ConvKernel kernel(0, cv::Size(3, 3), 2, 0);
    SetWeights(kernel, {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 0.25f});
    EXPECT_EQ(kernel.Respond(window), 0.25f);
}

TEST(ConvKernelRespond, NanSumThrowsWithoutPrinting) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    ConvKernel kernel(0, cv::Size(3, 3), 2, 0);
    SetWeights(kernel, {0.5f, 0.0f, 0.5f, 0.5f, 0.5f, 0.5f, 0.0f});

    Lines lines(2, 1);
    Window window(9, nullptr);
    window[0] = lines.Make({0.5f, 0.5f});
    window[4] = lines.Make({nan, 0.5f});
    testing::internal::CaptureStdout();
    EXPECT_EQ(ThrownText([&] { kernel.Respond(window); }), "ReLU: invalid value");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // inf x 0 is NaN too.
    window[4] = lines.Make({0.5f, 0.5f});
    window[0] = lines.Make({0.5f, inf});
    EXPECT_EQ(ThrownText([&] { kernel.Respond(window); }), "ReLU: invalid value");

    // A NaN outside the pattern is never read.
    window[0] = lines.Make({0.5f, 0.5f});
    window[1] = lines.Make({nan, nan});
    EXPECT_EQ(ThrownText([&] { kernel.Respond(window); }), "");
}

TEST(ConvKernelLearn, StepsWeightsOfPresentLinesAndBias) {
    SmallLayer layer;
    ConvKernel kernel = layer.Kernel(0);
    kernel.SetRate(0.5f);
    kernel.Learn(0.75f, layer.window);

    // output 0.25 (see SumsEveryInputAtPresentPatternEntries), err = 0.75 - 0.25 = 0.5,
    // d = 0.999, step = (0.5 x 0.5) x 0.999 = 0.24975.
    EXPECT_EQ(kernel.Output(), 0.25f);
    EXPECT_NEAR(kernel.Weights()[0], 0.374875, 1e-6);    // 0.24975 x 0.5 + 0.25
    EXPECT_NEAR(kernel.Weights()[1], 0.5624375, 1e-6);   // 0.24975 x 0.25 + 0.5
    EXPECT_NEAR(kernel.Weights()[2], 0.37475, 1e-6);     // 0.24975 x 1.0 + 0.125
    EXPECT_NEAR(kernel.Weights()[3], -0.0626875, 1e-6);  // 0.24975 x 0.75 - 0.25
    EXPECT_EQ(kernel.Weights()[4], 8.0f);                // right entry is outside: untouched
    EXPECT_EQ(kernel.Weights()[5], 8.0f);
    EXPECT_NEAR(kernel.Weights()[6], 0.31225, 1e-6);  // 0.24975 + 0.0625
}

TEST(ConvKernelLearn, NonFiniteWeightPrintsAndThrowsKeepingEarlierSteps) {
    // Centre line (1, 1) with weights -3e38 and 3e38: the sum is 0, so the
    // output is 0.01 and err = 1 - 0.01 = 0.99. With rate 1e38 the step is
    // 0.99 x 1e38 x 0.999 = 0.98901e38: the first weight becomes -2.01099e38,
    // the second 3.98901e38, beyond the float range, i.e. infinite.
    Lines lines(2, 1);
    Window window(9, nullptr);
    window[0] = lines.Make({1.0f, 1.0f});
    window[4] = lines.Make({0.0f, 0.0f});
    ConvKernel kernel(0, cv::Size(3, 3), 2, 0);
    SetWeights(kernel, {-3e38f, 3e38f, 0.5f, 0.5f, 0.5f, 0.5f, 0.0f});
    kernel.SetRate(1e38f);

    testing::internal::CaptureStdout();
    EXPECT_EQ(ThrownText([&] { kernel.Learn(1.0f, window); }), "ReLu: NAN exception");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "NAN exception\n");
    EXPECT_NEAR(kernel.Weights()[0] / 1e38f, -2.01099, 1e-4);
    EXPECT_TRUE(std::isinf(kernel.Weights()[1]));
    // Nothing after the offending weight moved, the bias included.
    EXPECT_EQ(kernel.Weights()[2], 0.5f);
    EXPECT_EQ(kernel.Weights()[3], 0.5f);
    EXPECT_EQ(kernel.Weights()[6], 0.0f);
}

TEST(ConvKernelErrorShare, AssignsErrorTimesWeightIntoOwnRow) {
    SmallLayer layer;
    for (DepthLine* line : {layer.centre, layer.left, layer.decoy}) {
        std::fill(line->errors.begin(), line->errors.end(), 99.0f);
    }
    ConvKernel kernel = layer.Kernel(1);
    const std::vector<float> before = kernel.Weights();

    // output 0.25, err = 0.75 - 0.25 = 0.5: shares 0.5 x weight.
    EXPECT_EQ(kernel.ErrorShare(0.75f, layer.window), 0.5f);
    EXPECT_EQ(layer.centre->ErrorRow(1)[0], 0.125f);  // 0.5 x 0.25
    EXPECT_EQ(layer.centre->ErrorRow(1)[1], 0.25f);   // 0.5 x 0.5
    EXPECT_EQ(layer.left->ErrorRow(1)[0], 0.0625f);   // 0.5 x 0.125
    EXPECT_EQ(layer.left->ErrorRow(1)[1], -0.125f);   // 0.5 x -0.25
    // Other kernels' rows and lines outside the pattern keep their values.
    for (int row : {0, 2}) {
        EXPECT_EQ(layer.centre->ErrorRow(row)[0], 99.0f);
        EXPECT_EQ(layer.left->ErrorRow(row)[1], 99.0f);
    }
    for (float share : layer.decoy->errors) EXPECT_EQ(share, 99.0f);
    EXPECT_EQ(kernel.Weights(), before);

    // err = 0 - 0.25 = -0.25: the shares are replaced, not added to.
    EXPECT_EQ(kernel.ErrorShare(0.0f, layer.window), 0.25f);
    EXPECT_EQ(layer.centre->ErrorRow(1)[0], -0.0625f);  // -0.25 x 0.25
    EXPECT_EQ(layer.centre->ErrorRow(1)[1], -0.125f);   // -0.25 x 0.5
    EXPECT_EQ(layer.left->ErrorRow(1)[0], -0.03125f);   // -0.25 x 0.125
    EXPECT_EQ(layer.left->ErrorRow(1)[1], 0.0625f);     // -0.25 x -0.25
}

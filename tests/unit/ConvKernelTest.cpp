#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <deque>
#include <limits>
#include <string>

#include "layers/ConvKernel.h"
#include "support/ThrownText.h"

namespace {

using Window = std::vector<DepthLine*>;

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

}  // namespace

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

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "dense/DenseStack.h"
#include "support/ThrownText.h"

namespace {

using Floats = std::vector<float>;

// Builds a stack and overwrites its weights, given in WeightSlots order.
void BuildWith(DenseStack& stack, const std::vector<std::int32_t>& sizes,
               const std::vector<std::int32_t>& codes, float rate, const Floats& weights) {
    stack.Build(sizes, codes, rate);
    std::vector<float*> slots = stack.WeightSlots();
    ASSERT_EQ(slots.size(), weights.size());
    for (size_t i = 0; i < slots.size(); ++i) *slots[i] = weights[i];
}

Floats Weights(DenseStack& stack) {
    Floats weights;
    for (float* slot : stack.WeightSlots()) weights.push_back(*slot);
    return weights;
}

Floats Forward(DenseStack& stack, Floats values) {
    std::vector<float*> pointers;
    for (float& value : values) pointers.push_back(&value);
    return stack.Forward(pointers);
}

// Forward, output errors and propagation; returns the loss.
float Prepare(DenseStack& stack, const Floats& inputs, const Floats& targets) {
    Forward(stack, inputs);
    const float loss = stack.SetOutputErrors(targets);
    stack.PropagateErrors();
    return loss;
}

float Train(DenseStack& stack, const Floats& inputs, const Floats& targets) {
    const float loss = Prepare(stack, inputs, targets);
    stack.UpdateWeights();
    stack.ComputeInputFeedback();
    return loss;
}

}  // namespace

TEST(DenseStack, BuildRefusesBadShapesAndChangesNothing) {
    DenseStack stack;
    stack.Build({3, 2}, {1, 1}, 0.1f);
    const Floats before = Weights(stack);
    for (const auto& [sizes, codes, error] :
         std::vector<std::tuple<std::vector<std::int32_t>, std::vector<std::int32_t>, std::string>>{
             {{3, 2}, {1, 1, 1}, "layer activation mismatch"},
             {{3}, {1}, "dense stack needs at least two layers"},
             {{3, 0}, {1, 1}, "dense layer size must be at least 1"},
             {{3, 2}, {1, 2}, "unknown dense activation code"}})
        EXPECT_EQ(ThrownText([&] { stack.Build(sizes, codes, 0.1f); }), error);
    EXPECT_EQ(Weights(stack), before);
    // A second Build replaces the stack: (2 + 1) + (4 + 1) + 2 neurons,
    // 3 x 4 + 5 x 2 connections.
    stack.Build({2, 4, 2}, {1, 1, 1}, 0.1f);
    stack.Build({2, 4, 2}, {1, 1, 1}, 0.1f);
    EXPECT_EQ(stack.neurons.size(), 10u);
    EXPECT_EQ(stack.connections.size(), 22u);
}

TEST(DenseStack, ActivationsAndTheirSlopes) {
    // One input of 1 and a bias weight of 0, so net is the input weight:
    // the rectifier leaks 0.01 at and below 0 (and steps with that slope:
    // error 0.5 - 0.01),
    // the logistic output saturates at 1 and 0 where its slope is 0.
    struct Case {
        std::int32_t code;
        float net, output, weightAfterStep;
    };
    const std::vector<Case> cases{{Rectifier, -3.0f, 0.01f, -3.0f + 0.49f * 0.5f * 0.01f},
                                  {Rectifier, 0.0f, 0.01f, 0.49f * 0.5f * 0.01f},
                                  {Rectifier, 2.5f, 2.5f, 2.5f - 2.0f * 0.5f * 0.999f},
                                  {Sigmoid, 100.0f, 1.0f, 100.0f},
                                  {Sigmoid, -200.0f, 0.0f, -200.0f}};
    for (const Case& c : cases) {
        DenseStack stack;
        BuildWith(stack, {1, 1}, {c.code, c.code}, 0.5f, {c.net, 0.0f});
        EXPECT_EQ(Forward(stack, {1.0f}), Floats{c.output}) << c.net;
        Train(stack, {1.0f}, {0.5f});
        EXPECT_FLOAT_EQ(Weights(stack)[0], c.weightAfterStep) << c.net;
    }
}

TEST(DenseStack, InputFeedbackIsClampedToUnitRange) {
    // Weights 1, -1, 0.5, bias 0: output 0.9 - 0.1 + 0.25 = 1.05, target 1.35, error 0.3.
    DenseStack stack;
    BuildWith(stack, {3, 1}, {Rectifier, Rectifier}, 0.1f, {1.0f, -1.0f, 0.5f, 0.0f});
    Train(stack, {0.9f, 0.1f, 0.5f}, {1.35f});
    ASSERT_EQ(stack.inputFeedback.size(), 3u);
    EXPECT_EQ(stack.inputFeedback[0], 1.0f);            // 0.9 + 0.3 x 1
    EXPECT_EQ(stack.inputFeedback[1], 0.0f);            // 0.1 + 0.3 x -1
    EXPECT_NEAR(stack.inputFeedback[2], 0.65f, 1e-5f);  // 0.5 + 0.3 x 0.5
}

TEST(DenseStack, NonFiniteValuesPrintAndThrow) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    DenseStack stack;
    // Sigmoid of a NaN net: the slope is NaN, so the throw comes before any write.
    BuildWith(stack, {1, 1}, {Sigmoid, Sigmoid}, 0.5f, {0.0f, 0.0f});
    EXPECT_TRUE(std::isnan(Prepare(stack, {nan}, {1.0f})));
    testing::internal::CaptureStdout();
    EXPECT_EQ(ThrownText([&] { stack.UpdateWeights(); }), "is NAN");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "NAN exception\n");
    EXPECT_EQ(Weights(stack), (Floats{0.0f, 0.0f}));

    // A Rectifier passes a NaN net on with slope 0.999: output 0 learns, then
    // the weight into output 1 turns NaN and stops the pass; bias weights untouched.
    BuildWith(stack, {1, 2}, {Rectifier, Rectifier}, 0.5f, {0.5f, nan, 0.0f, 0.0f});
    Prepare(stack, {1.0f}, {1.0f, 0.0f});
    testing::internal::CaptureStdout();
    EXPECT_EQ(ThrownText([&] { stack.UpdateWeights(); }), "is NAN");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "NAN exception\n");
    const Floats w = Weights(stack);
    EXPECT_NEAR(w[0], 0.74975f, 1e-6f);  // (1 - 0.5) x 0.5 x 0.999 x 1 + 0.5
    EXPECT_TRUE(std::isnan(w[1]));
    EXPECT_TRUE(w[2] == 0.0f && w[3] == 0.0f);
}

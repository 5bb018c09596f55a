#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "layers/ResModule3Conv.h"
#include "support/LayerTesting.h"

namespace {

const cv::Size kThree(3, 3);
const cv::Size kFive(5, 5);

float NextRandom() { return static_cast<float>(std::rand()) / static_cast<float>(RAND_MAX); }

// Planes of values in [0, 1] drawn from std::rand.
std::vector<cv::Mat> RandomPlanes(int count, cv::Size size) {
    std::vector<cv::Mat> planes;
    for (int i = 0; i < count; ++i) {
        cv::Mat plane(size, CV_32F);
        for (float& value : cv::Mat_<float>(plane)) value = NextRandom();
        planes.push_back(plane);
    }
    return planes;
}

// About a third of the positions set.
cv::Mat RandomMask(cv::Size size) {
    cv::Mat mask(size, CV_32F);
    for (float& value : cv::Mat_<float>(mask)) value = NextRandom() < 0.33f ? 1.0f : 0.0f;
    return mask;
}

}  // namespace

TEST(ResModule3Conv, LaterModuleDoublesItsInputAndPassesTargetsDown) {
    StartedPools pools(3);
    ResModule3Conv module(kThree, kFive, 32, 64, &pools, false);
    std::srand(5);
    std::vector<cv::Mat> planes = RandomPlanes(32, cv::Size(8, 8));
    FeatureMaps inputs = MapsOver(planes);
    const cv::Mat mask = RandomMask(cv::Size(8, 8));
    EXPECT_EQ(module.Configure(cv::Size(8, 8)), cv::Size(4, 4));
    FeatureMaps& out = *module.Forward(inputs, &mask);
    ASSERT_EQ(out.size(), 64u);
    EXPECT_EQ(out[31].image, module.Pool().Outputs()[31].image);
    EXPECT_EQ(out[32].image, module.Convolution(2).Outputs()[0].image);
    EXPECT_EQ(out[63].image, module.Convolution(2).Outputs()[31].image);

    // Targets of 0 in every pooled cell scale every input window by 0.
    const std::vector<float> conv1Weights = WeightValues(module.Convolution(0));
    const std::vector<float> conv2Weights = WeightValues(module.Convolution(1));
    for (FeatureMap& map : out) map.image->setTo(cv::Scalar(0));
    module.Backward();
    // conv1 and conv2 only see targets once the convolution after them has
    // written some: with their own activations as targets they would not move.
    EXPECT_NE(WeightValues(module.Convolution(0)), conv1Weights);
    EXPECT_NE(WeightValues(module.Convolution(1)), conv2Weights);
    for (const cv::Mat& plane : planes) EXPECT_EQ(cv::countNonZero(plane), 0);
}

TEST(ResModule3Conv, RejectsWrongInputCountBeforeRunningAnything) {
    StartedPools pools(1);
    ResModule3Conv module(kThree, kFive, 3, 32, &pools, true);
    module.Configure(cv::Size(8, 8));
    std::vector<cv::Mat> planes(4, cv::Mat(8, 8, CV_32F, cv::Scalar(0.5)));
    FeatureMaps inputs = MapsOver(planes);
    const cv::Mat mask(8, 8, CV_32F, cv::Scalar(1));
    EXPECT_EQ(ThrownText([&] { module.Forward(inputs, &mask); }),
              "ResModul: Input image count mismatch");
    EXPECT_EQ(module.Convolution(0).LastInputs(), nullptr);
    EXPECT_EQ(module.Pool().LastInputs(), nullptr);
    EXPECT_TRUE(module.Outputs().empty());
}

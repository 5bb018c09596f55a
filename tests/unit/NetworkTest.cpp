#include <gtest/gtest.h>

#include "network/Network.h"
#include "support/ThrownText.h"

TEST(NetworkEvaluate, ChecksItsInputs) {
    Network network;
    cv::Size size(32, 32);
    testing::internal::CaptureStdout();
    network.Build(size, 2, {"a", "b"}, 1);
    testing::internal::GetCapturedStdout();
    cv::Mat grey(32, 32, CV_32FC1, cv::Scalar(0.5));
    testing::internal::CaptureStdout();
    EXPECT_EQ(ThrownText([&] { network.Evaluate(grey, nullptr); }), "Invalid image type");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1 : 5\n");

    cv::Mat colour(32, 32, CV_32FC3, cv::Scalar::all(0.5));
    cv::Mat smallMask(16, 32, CV_32FC1, cv::Scalar(1));
    EXPECT_EQ(ThrownText([&] { network.Evaluate(colour, &smallMask); }), "Invalid image size");
    cv::Mat wide(32, 64, CV_32FC3, cv::Scalar::all(0.5));
    EXPECT_EQ(ThrownText([&] { network.Evaluate(wide(cv::Rect(0, 0, 32, 32)), nullptr); }),
              "Image is not continuous");
    EXPECT_EQ(ThrownText([&] { network.TrainStep(colour, {1.0f}, nullptr); }),
              "Corvane: output missmatch!");
    testing::internal::CaptureStdout();
    network.Unload();
    testing::internal::GetCapturedStdout();
}

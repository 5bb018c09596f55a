#include <gtest/gtest.h>

#include <cstdlib>
#include <opencv2/imgproc.hpp>

#include "input/InputPreparation.h"
#include "network/Network.h"
#include "support/Images.h"
#include "support/ThrownText.h"

namespace {

// Builds quietly; the log is returned for the tests that look at it.
std::string BuildNetwork(Network& network, cv::Size size, int outputs, unsigned threads) {
    testing::internal::CaptureStdout();
    try {
        network.Build(size, outputs, {"a", "b"}, threads);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

void UnloadQuietly(Network& network) {
    testing::internal::CaptureStdout();
    network.Unload();
    testing::internal::GetCapturedStdout();
}

// The prepared input and detail mask of a picture, as a Predict call makes them.
struct Prepared {
    explicit Prepared(const cv::Mat& picture, cv::Size size)
        : image(size, CV_32FC3, cv::Scalar::all(0)), mask(size, CV_32FC1, cv::Scalar::all(0)) {
        cv::Rect fit = InputPreparation::PrepareInput(
            picture, cv::Rect(0, 0, picture.cols, picture.rows), image);
        InputPreparation::BuildMask(image, fit, mask);
    }
    cv::Mat image;
    cv::Mat mask;
};

}  // namespace

TEST(NetworkBuild, ChainsTheFiveModulesDownToTheDenseInput) {
    Network network;
    cv::Size size(64, 64);
    testing::internal::CaptureStdout();
    network.Build(size, 5, {"a", "b", "c", "d", "e"}, 1);
    // 64 / 2^5 = 2: 512 maps of 2 x 2 feed the classifier.
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Image width:2\nNetwork created with dense input:2048\n");
    EXPECT_EQ(size, cv::Size(2, 2));
    EXPECT_EQ(network.Layers().size(), 5u);
    EXPECT_EQ(network.FlattenRecord().cellCount, 2048);
    ASSERT_EQ(network.Dense().layers.size(), 2u);
    EXPECT_EQ(network.Dense().layers[0].neurons.size(), 2049u);  // with the bias
    EXPECT_EQ(network.Dense().layers[1].neurons.size(), 5u);
    EXPECT_EQ(network.categories.size(), 5u);
    EXPECT_EQ(network.InputPlanes().size(), 3u);
    UnloadQuietly(network);
    EXPECT_FALSE(network.IsBuilt());

    // A rebuild after the unload gives a fresh, working network.
    BuildNetwork(network, cv::Size(32, 64), 3, 2);
    EXPECT_EQ(network.FlattenRecord().cellCount, 1 * 2 * 512);
    Prepared input(TexturedImage(20, 60, 4), cv::Size(32, 64));
    EXPECT_EQ(network.Evaluate(input.image, &input.mask).size(), 3u);
    UnloadQuietly(network);
}

TEST(NetworkBuild, RefusesSizesAndThreadCountsItCannotServe) {
    Network network;
    cv::Size size(48, 64);
    testing::internal::CaptureStdout();
    // 48 -> 24 -> 12 -> 6 -> 3: the fifth pooling branch cannot halve 3.
    EXPECT_EQ(ThrownText([&] { network.Build(size, 5, {}, 1); }), "maxpool error");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find("Image width:"), std::string::npos);
    EXPECT_EQ(log.find("Network created"), std::string::npos);
    UnloadQuietly(network);

    // Heights of 16 or less would leave the last maps without rows.
    for (cv::Size small : {cv::Size(64, 16), cv::Size(64, 1), cv::Size(0, 64)}) {
        testing::internal::CaptureStdout();
        EXPECT_NE(ThrownText([&] { network.Build(small, 5, {}, 1); }), "");
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(network.IsBuilt());
    }
    testing::internal::CaptureStdout();
    size = cv::Size(64, 64);
    EXPECT_NE(ThrownText([&] { network.Build(size, 5, {}, 0); }), "");
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(network.IsBuilt());

    // More than 256 workers per pool is refused with one line, before any
    // pool starts.
    for (unsigned threads : {257u, 0xFFFFFFFFu}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(ThrownText([&] { network.Build(size, 5, {}, threads); }),
                  "thread count must be at most 256");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "thread count must be at most 256\n");
        EXPECT_FALSE(network.IsBuilt());
        EXPECT_TRUE(network.Pools().mapTaskPool.workers.empty());
    }
}

TEST(NetworkEvaluate, ChecksItsInputs) {
    Network network;
    BuildNetwork(network, cv::Size(32, 32), 2, 1);
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

    std::vector<float> wanted{1.0f};
    EXPECT_EQ(ThrownText([&] { network.TrainStep(colour, wanted, nullptr); }),
              "Corvane: output missmatch!");
    UnloadQuietly(network);
}

TEST(NetworkEvaluate, ScoresDoNotDependOnTheThreadCount) {
    const cv::Size size(64, 64);
    Prepared input(TexturedImage(64, 64, 5), size);
    std::vector<float> reference;
    for (unsigned threads : {1u, 2u, 4u}) {
        Network network;
        std::srand(1234);  // the same initial weights for every network
        BuildNetwork(network, size, 4, threads);
        std::vector<float> scores = network.Evaluate(input.image, &input.mask);
        // A second pass gives the same bits: a pass changes no state that matters.
        EXPECT_EQ(network.Evaluate(input.image, &input.mask), scores);
        if (reference.empty()) reference = scores;
        EXPECT_EQ(scores, reference) << threads << " threads";
        UnloadQuietly(network);
    }
}

TEST(NetworkTrain, LearnsWithoutTouchingTheInputPlanes) {
    Network network;
    const cv::Size size(32, 32);
    BuildNetwork(network, size, 3, 2);
    Prepared input(TexturedImage(32, 32, 6), size);
    const std::vector<float> before = network.Evaluate(input.image, &input.mask);
    const std::vector<float> wanted{0.0f, 1.0f, 0.0f};

    // The step reports the mean absolute error of the scores before it.
    const float loss = network.TrainStep(input.image, wanted, &input.mask);
    EXPECT_FLOAT_EQ(loss, (before[0] + (1.0f - before[1]) + before[2]) / 3.0f);

    std::vector<cv::Mat> planes;
    cv::split(input.image, planes);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(cv::norm(planes[k], network.InputPlanes()[k], cv::NORM_INF), 0.0) << k;

    for (int i = 0; i < 30; ++i) network.TrainStep(input.image, wanted, &input.mask);
    const std::vector<float> after = network.Evaluate(input.image, &input.mask);
    EXPECT_GT(after[1], before[1]);
    EXPECT_LT(after[0], before[0]);
    UnloadQuietly(network);
}

TEST(Flatten, GathersAndScattersMapByMapRowByRow) {
    std::vector<cv::Mat> planes{cv::Mat(2, 3, CV_32FC1), cv::Mat(2, 3, CV_32FC1)};
    FeatureMaps maps(2);
    for (int m = 0; m < 2; ++m) {
        maps[m].image = &planes[m];
        for (int i = 0; i < 6; ++i)
            planes[m].at<float>(i / 3, i % 3) = static_cast<float>(10 * m + i);
    }
    Flatten flatten;
    flatten.maps = &maps;
    flatten.width = 3;
    flatten.height = 2;
    flatten.cellCount = 12;
    flatten.cells.assign(12, nullptr);
    flatten.Gather();
    // Input k is map k / 6, row (k % 6) / 3, column k % 3.
    for (int k = 0; k < 12; ++k)
        EXPECT_EQ(*flatten.cells[k], static_cast<float>(10 * (k / 6) + k % 6));

    std::vector<float> targets(12);
    for (int k = 0; k < 12; ++k) targets[k] = 0.5f + k;
    const float* planeData = planes[1].ptr<float>();
    flatten.Scatter(targets);
    EXPECT_EQ(planes[1].ptr<float>(), planeData);  // written in place
    EXPECT_EQ(planes[1].at<float>(1, 0), 0.5f + 9);
    EXPECT_EQ(*flatten.cells[4], 4.5f);

    EXPECT_EQ(ThrownText([&] { flatten.Scatter(std::vector<float>(6)); }), "Feature map mismatch");
    flatten.width = 4;
    EXPECT_EQ(ThrownText([&] { flatten.Gather(); }), "Flatten: Image size missmatch");
    flatten.height = 0;
    EXPECT_EQ(ThrownText([&] { flatten.Scatter(targets); }), "Feature map mismatch");
}

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

#include "layers/MaxPool.h"
#include "support/LayerTesting.h"

namespace {

float* At(cv::Mat& plane, int row, int column) { return &plane.ptr<float>(row)[column]; }

}  // namespace

TEST(MaxPoolForward, TakesStrictMaximumOfEachWindow) {
    StartedPools pools(2);
    MaxPool pool(2, false, &pools);
    std::vector<cv::Mat> planes{Plane(4, 4,
                                      {0.1f, 0.5f, 0.3f, 0.3f,  //
                                       0.2f, 0.4f, 0.3f, 0.3f,  //
                                       0.0f, 0.0f, 0.9f, 0.6f,  //
                                       0.7f, 0.0f, 0.8f, 0.95f}),
                                cv::Mat(4, 4, CV_32F, cv::Scalar(0.25))};
    *At(planes[1], 2, 3) = 0.5f;
    FeatureMaps inputs = MapsOver(planes);

    EXPECT_EQ(pool.Configure(cv::Size(4, 4)), cv::Size(2, 2));
    FeatureMaps* out = pool.Forward(inputs, nullptr);
    ASSERT_EQ(out, &pool.Outputs());
    ASSERT_EQ(out->size(), 2u);
    cv::Mat& pooled = *(*out)[0].image;
    EXPECT_EQ((*out)[0].source, &inputs[0]);
    EXPECT_EQ(pooled.size(), cv::Size(2, 2));
    EXPECT_EQ(pooled.at<float>(0, 0), 0.5f);
    EXPECT_EQ(pooled.at<float>(0, 1), 0.3f);
    EXPECT_EQ(pooled.at<float>(1, 0), 0.7f);
    EXPECT_EQ(pooled.at<float>(1, 1), 0.95f);
    // Second map: 0.25 everywhere except one 0.5 in the bottom-right window.
    cv::Mat& second = *(*out)[1].image;
    EXPECT_EQ(second.at<float>(0, 0), 0.25f);
    EXPECT_EQ(second.at<float>(1, 1), 0.5f);

    const std::vector<PoolLink>& links = *(*out)[0].switches;
    ASSERT_EQ(links.size(), 4u);
    cv::Mat& in = planes[0];
    // Windows are listed row by row: top-left, top-right, bottom-left, bottom-right.
    EXPECT_EQ(links[0].window,
              (std::vector<float*>{At(in, 0, 0), At(in, 0, 1), At(in, 1, 0), At(in, 1, 1)}));
    EXPECT_EQ(links[3].window,
              (std::vector<float*>{At(in, 2, 2), At(in, 2, 3), At(in, 3, 2), At(in, 3, 3)}));
    EXPECT_EQ(links[0].maxCell, At(in, 0, 1));
    // Four equal values: the first in row-major order wins.
    EXPECT_EQ(links[1].maxCell, At(in, 0, 2));
    EXPECT_EQ(links[2].maxCell, At(in, 3, 0));
    EXPECT_EQ(links[3].maxCell, At(in, 3, 3));
    EXPECT_EQ(links[2].outCell, At(pooled, 1, 0));

    // A second pass rebuilds the same records rather than appending, and
    // follows a maximum that moved.
    *At(in, 2, 2) = 0.99f;
    pool.Forward(inputs, nullptr);
    EXPECT_EQ((*out)[0].switches->size(), 4u);
    EXPECT_EQ((*(*out)[0].switches)[3].maxCell, At(in, 2, 2));
    EXPECT_EQ(pooled.at<float>(1, 1), 0.99f);

    // Other planes behind the same list: every window moves to them, the
    // middle ones included.
    std::vector<cv::Mat> others{planes[0].clone(), planes[1].clone()};
    *At(others[0], 1, 3) = 0.97f;
    inputs[0].image = &others[0];
    inputs[1].image = &others[1];
    pool.Forward(inputs, nullptr);
    EXPECT_EQ(links[1].window, (std::vector<float*>{At(others[0], 0, 2), At(others[0], 0, 3),
                                                    At(others[0], 1, 2), At(others[0], 1, 3)}));
    EXPECT_EQ(links[1].maxCell, At(others[0], 1, 3));
    EXPECT_EQ(pooled.at<float>(0, 1), 0.97f);
}

TEST(MaxPoolConfigure, HalvesSizeOrRefusesOddOne) {
    StartedPools pools(1);
    MaxPool square(1, false, &pools);
    EXPECT_EQ(square.Configure(cv::Size(64, 64)), cv::Size(32, 32));

    // A single row is accepted and pools to nothing.
    MaxPool flat(1, false, &pools);
    EXPECT_EQ(flat.Configure(cv::Size(6, 1)), cv::Size(3, 0));
    std::vector<cv::Mat> planes{cv::Mat(1, 6, CV_32F, cv::Scalar(0.5))};
    FeatureMaps inputs = MapsOver(planes);
    flat.Forward(inputs, nullptr);
    EXPECT_TRUE(flat.Outputs()[0].switches->empty());

    MaxPool narrow(1, false, &pools);
    EXPECT_EQ(ThrownText([&] { narrow.Configure(cv::Size(5, 4)); }), "maxpool error");
    MaxPool shallow(1, false, &pools);
    EXPECT_EQ(ThrownText([&] { shallow.Configure(cv::Size(4, 5)); }), "maxpool error");
    EXPECT_TRUE(shallow.Outputs().empty());
}

TEST(MaxPoolForward, ChecksInputsInOrder) {
    StartedPools pools(1);
    MaxPool pool(2, false, &pools);
    pool.Configure(cv::Size(4, 4));

    FeatureMaps none;
    try {
        pool.Forward(none, nullptr);
        FAIL() << "empty input list accepted";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "invalid vector subscript");
    }

    std::vector<cv::Mat> one{cv::Mat(4, 4, CV_32F, cv::Scalar(0))};
    FeatureMaps single = MapsOver(one);
    EXPECT_EQ(ThrownText([&] { pool.Forward(single, nullptr); }), "Maxpool: count mismatch");

    std::vector<cv::Mat> wide{cv::Mat(4, 6, CV_32F, cv::Scalar(0)),
                              cv::Mat(4, 6, CV_32F, cv::Scalar(0))};
    FeatureMaps wrongWidth = MapsOver(wide);
    EXPECT_EQ(ThrownText([&] { pool.Forward(wrongWidth, nullptr); }),
              "maxpool size missmatch error");
}

TEST(MaxPoolForward, RelinksOnlyForANewListObject) {
    StartedPools pools(2);
    MaxPool pool(1, false, &pools);
    pool.Configure(cv::Size(2, 2));
    std::vector<cv::Mat> first{Plane(2, 2, {0.1f, 0.2f, 0.3f, 0.4f})};
    std::vector<cv::Mat> second{Plane(2, 2, {0.9f, 0.8f, 0.7f, 0.6f})};
    FeatureMaps listA = MapsOver(first);
    FeatureMaps listB = MapsOver(second);

    FeatureMaps& outputs = *pool.Forward(listA, nullptr);
    EXPECT_EQ(outputs[0].source, &listA[0]);
    EXPECT_EQ(outputs[0].image->at<float>(0, 0), 0.4f);

    // The same list object again: the existing link is trusted, even one
    // pointing elsewhere.
    outputs[0].source = &listB[0];
    pool.Forward(listA, nullptr);
    EXPECT_EQ(outputs[0].source, &listB[0]);
    EXPECT_EQ(outputs[0].image->at<float>(0, 0), 0.9f);

    // Another list object: linked afresh.
    FeatureMaps copyOfA = listA;
    pool.Forward(copyOfA, nullptr);
    EXPECT_EQ(outputs[0].source, &copyOfA[0]);
    EXPECT_EQ(outputs[0].image->at<float>(0, 0), 0.4f);
}

TEST(MaxPoolForward, WindowWithoutMaximumWritesZeroAndIsSkippedBackward) {
    StartedPools pools(1);
    MaxPool pool(1, false, &pools);
    pool.Configure(cv::Size(4, 2));
    std::vector<cv::Mat> planes{Plane(2, 4,
                                      {-2.0f, -3.0f, 0.5f, 0.25f,  //
                                       -1.0f, -1.5f, 0.0f, 0.125f})};
    FeatureMaps inputs = MapsOver(planes);
    pool.Outputs()[0].image->setTo(cv::Scalar(0.7));

    testing::internal::CaptureStdout();
    pool.Forward(inputs, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "too small");
    const std::vector<PoolLink>& links = *pool.Outputs()[0].switches;
    EXPECT_EQ(links[0].maxCell, nullptr);
    EXPECT_EQ(pool.Outputs()[0].image->at<float>(0, 0), 0.0f);
    EXPECT_EQ(links[1].maxCell, At(planes[0], 0, 2));

    // Targets 0.75 and 0.25: the first window has no maximum to rescale by
    // and stays; the second scales by 0.25 / 0.5 = 0.5.
    *links[0].outCell = 0.75f;
    *links[1].outCell = 0.25f;
    pool.Backward();
    EXPECT_EQ(planes[0].at<float>(0, 0), -2.0f);
    EXPECT_EQ(planes[0].at<float>(1, 1), -1.5f);
    EXPECT_EQ(planes[0].at<float>(0, 2), 0.25f);
    EXPECT_EQ(planes[0].at<float>(1, 3), 0.0625f);
}

TEST(MaxPoolBackward, RescalesWindowTowardsTarget) {
    StartedPools pools(2);
    MaxPool pool(1, false, &pools);
    pool.Configure(cv::Size(6, 2));
    // Three windows side by side: two of (0.25, 0.5 / 0.125, 0.0) and one whose
    // maximum is 0.
    std::vector<cv::Mat> planes{Plane(2, 6,
                                      {0.25f, 0.5f, 0.25f, 0.5f, 0.0f, -0.5f,  //
                                       0.125f, 0.0f, 0.125f, 0.0f, -0.25f, -0.75f})};
    FeatureMaps inputs = MapsOver(planes);
    pool.Forward(inputs, nullptr);
    cv::Mat& out = *pool.Outputs()[0].image;
    out.at<float>(0, 0) = 0.75f;
    out.at<float>(0, 1) = 2.0f;
    out.at<float>(0, 2) = 0.5f;
    pool.Backward();

    const cv::Mat& in = planes[0];
    // Ratio 0.75 / 0.5 = 1.5: 0.25 -> 0.375, 0.5 -> 0.75, 0.125 -> 0.1875, 0 -> 0.
    EXPECT_EQ(in.at<float>(0, 0), 0.375f);
    EXPECT_EQ(in.at<float>(0, 1), 0.75f);
    EXPECT_EQ(in.at<float>(1, 0), 0.1875f);
    EXPECT_EQ(in.at<float>(1, 1), 0.0f);
    // Ratio 2 / 0.5 = 4: products 1, 2, 0.5, 0 clamp to 1, 1, 0.5, 0.
    EXPECT_EQ(in.at<float>(0, 2), 1.0f);
    EXPECT_EQ(in.at<float>(0, 3), 1.0f);
    EXPECT_EQ(in.at<float>(1, 2), 0.5f);
    EXPECT_EQ(in.at<float>(1, 3), 0.0f);
    // Maximum 0: ratio 0 wipes the window, negatives included.
    EXPECT_EQ(in.at<float>(0, 4), 0.0f);
    EXPECT_EQ(in.at<float>(0, 5), 0.0f);
    EXPECT_EQ(in.at<float>(1, 4), 0.0f);
    EXPECT_EQ(in.at<float>(1, 5), 0.0f);

    // A target that is not a number is refused before its window changes.
    planes[0].setTo(cv::Scalar(0.5));
    out.at<float>(0, 1) = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(ThrownText([&] { pool.BackwardTask(pool.Outputs()); }), "MAxPool: invalid value");
    EXPECT_EQ(in.at<float>(0, 2), 0.5f);
}

TEST(MaxPoolBackward, EachWindowOfSeveralRowsTakesItsOwnRatio) {
    StartedPools pools(2);
    MaxPool pool(1, false, &pools);
    pool.Configure(cv::Size(4, 4));
    std::vector<cv::Mat> planes{Plane(4, 4,
                                      {0.125f, 0.25f, 0.5f, 0.25f,     //
                                       0.0625f, 0.125f, 0.375f, 0.0f,  //
                                       0.5f, 0.25f, 0.25f, 0.5f,       //
                                       0.0f, 0.125f, 0.125f, 0.375f})};
    FeatureMaps inputs = MapsOver(planes);
    pool.Forward(inputs, nullptr);
    // Maxima 0.25, 0.5, 0.5, 0.5; ratios 2, 0.5, 0.25 and 1.5.
    cv::Mat& out = *pool.Outputs()[0].image;
    out.at<float>(0, 0) = 0.5f;
    out.at<float>(0, 1) = 0.25f;
    out.at<float>(1, 0) = 0.125f;
    out.at<float>(1, 1) = 0.75f;
    pool.Backward();
    const cv::Mat& in = planes[0];
    EXPECT_EQ(in.at<float>(1, 0), 0.125f);    // 0.0625 x 2
    EXPECT_EQ(in.at<float>(1, 2), 0.1875f);   // 0.375 x 0.5
    EXPECT_EQ(in.at<float>(2, 0), 0.125f);    // 0.5 x 0.25
    EXPECT_EQ(in.at<float>(3, 1), 0.03125f);  // 0.125 x 0.25
    EXPECT_EQ(in.at<float>(2, 3), 0.75f);     // 0.5 x 1.5
    EXPECT_EQ(in.at<float>(3, 2), 0.1875f);   // 0.125 x 1.5
    EXPECT_EQ(in.at<float>(3, 3), 0.5625f);   // 0.375 x 1.5
}

TEST(MaxPoolBackward, SkipLeavesPlanesUnchanged) {
    StartedPools pools(1);
    MaxPool pool(1, true, &pools);
    pool.Configure(cv::Size(2, 2));
    std::vector<cv::Mat> planes{Plane(2, 2, {0.25f, 0.5f, 0.125f, 0.0f})};
    FeatureMaps inputs = MapsOver(planes);
    pool.Forward(inputs, nullptr);
    pool.Outputs()[0].image->at<float>(0, 0) = 1.0f;
    pool.Backward();
    EXPECT_EQ(planes[0].at<float>(0, 0), 0.25f);
    EXPECT_EQ(planes[0].at<float>(0, 1), 0.5f);
    EXPECT_EQ(planes[0].at<float>(1, 0), 0.125f);

    EXPECT_EQ(pool.Depth(), 0);
    EXPECT_TRUE(pool.GetWeights().empty());
    pool.Release();
    EXPECT_TRUE(pool.Outputs().empty());
}

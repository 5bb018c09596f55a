#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "layers/MaxPool.h"
#include "support/LayerTesting.h"

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

TEST(MaxPoolBackward, RescalesEachWindowByItsOwnRatioAndClamps) {
    // One map, 1 x 1 windows halving each side; the targets are written into
    // the pooled plane row by row.
    struct Case {
        const char* what;
        cv::Size size;
        std::vector<float> input, targets, expected;
        bool skip = false;
        std::string printed = "";
    };
    const std::vector<Case> cases{
        // Ratios 0.75 / 0.5 = 1.5; 2 / 0.5 = 4, clamped to 1; maximum 0
        // wipes the window, negatives to -0.
        {"side by side",
         {6, 2},
         {0.25f, 0.5f, 0.25f, 0.5f, 0.0f, -0.5f, 0.125f, 0.0f, 0.125f, 0.0f, -0.25f, -0.75f},
         {0.75f, 2.0f, 0.5f},
         {0.375f, 0.75f, 1.0f, 1.0f, 0.0f, -0.0f, 0.1875f, 0.0f, 0.5f, 0.0f, -0.0f, -0.0f}},
        // Maxima 0.25, 0.5, 0.5, 0.5: ratios 2, 0.5, 0.25 and 1.5.
        {"rows of windows",
         {4, 4},
         {0.125f, 0.25f, 0.5f, 0.25f, 0.0625f, 0.125f, 0.375f, 0.0f,  //
          0.5f, 0.25f, 0.25f, 0.5f, 0.0f, 0.125f, 0.125f, 0.375f},
         {0.5f, 0.25f, 0.125f, 0.75f},
         {0.25f, 0.5f, 0.25f, 0.125f, 0.125f, 0.25f, 0.1875f, 0.0f,  //
          0.125f, 0.0625f, 0.375f, 0.75f, 0.0f, 0.03125f, 0.1875f, 0.5625f}},
        {"skipped", {2, 2}, {0.25f, 0.5f, 0.125f, 0.0f}, {1.0f}, {0.25f, 0.5f, 0.125f, 0.0f}, true},
        // No value above 0: forward writes 0 and says so, backward leaves the
        // window as it is.
        {"no maximum",
         {4, 2},
         {-2.0f, -3.0f, 0.5f, 0.25f, -1.0f, -1.5f, 0.0f, 0.125f},
         {0.75f, 0.25f},
         {-2.0f, -3.0f, 0.25f, 0.125f, -1.0f, -1.5f, 0.0f, 0.0625f},
         false,
         "too small"},
    };
    for (const Case& c : cases) {
        StartedPools pools(2);
        MaxPool pool(1, c.skip, &pools);
        pool.Configure(c.size);
        std::vector<cv::Mat> planes{Plane(c.size.height, c.size.width, c.input)};
        FeatureMaps inputs = MapsOver(planes);
        testing::internal::CaptureStdout();
        pool.Forward(inputs, nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.what;
        cv::Mat& out = *pool.Outputs()[0].image;
        std::copy(c.targets.begin(), c.targets.end(), out.ptr<float>(0));
        pool.Backward();
        EXPECT_TRUE(SamePlane(planes[0], Plane(c.size.height, c.size.width, c.expected))) << c.what;
        // A target that is not a number is refused before its window changes.
        if (c.skip) continue;
        planes[0].setTo(cv::Scalar(0.5));
        out.at<float>(0, 1) = std::numeric_limits<float>::quiet_NaN();
        EXPECT_EQ(ThrownText([&] { pool.BackwardTask(pool.Outputs()); }), "MAxPool: invalid value");
        EXPECT_EQ(planes[0].at<float>(0, 2), 0.5f);
    }
}

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <stdexcept>

#include "cli/Charts.h"
#include "cli/LossLog.h"
#include "cli/Region.h"

namespace {

// Mean row of the pixels of the curve's colour in the given column range.
double CurveRow(const cv::Mat& image, int fromColumn, int toColumn) {
    const cv::Vec3b colour(static_cast<std::uint8_t>(Charts::kCurveColour[0]),
                           static_cast<std::uint8_t>(Charts::kCurveColour[1]),
                           static_cast<std::uint8_t>(Charts::kCurveColour[2]));
    double sum = 0.0;
    int count = 0;
    for (int y = 0; y < image.rows; ++y) {
        for (int x = fromColumn; x < toColumn; ++x) {
            if (image.at<cv::Vec3b>(y, x) == colour) {
                sum += y;
                ++count;
            }
        }
    }
    return count == 0 ? -1.0 : sum / count;
}

}  // namespace

TEST(Charts, LossCurveFallsWhenTheLossFalls) {
    const cv::Mat image = Charts::LossCurve({0.4, 0.3, 0.2, 0.1});
    ASSERT_EQ(image.type(), CV_8UC3);
    const double left = CurveRow(image, 0, image.cols / 3);
    const double right = CurveRow(image, 2 * image.cols / 3, image.cols);
    ASSERT_GE(left, 0.0);
    ASSERT_GE(right, 0.0);
    // Rows count downwards: a falling loss ends lower on the screen's y scale.
    EXPECT_LT(left, right - 100) << left << " " << right;
    // A single epoch still shows a point.
    EXPECT_GE(CurveRow(Charts::LossCurve({0.3}), 0, 640), 0.0);
}

TEST(Charts, HeatMapColoursTheDiagonalOfAPerfectMatrix) {
    ConfusionMatrix perfect(2);
    perfect.Add(0, 0);
    perfect.Add(1, 1);
    const cv::Mat image = Charts::ConfusionHeatMap(perfect, {"cat", "dog"});
    // Cells are 48 pixels from (90, 40): sample a corner of each, away from the count text.
    const cv::Vec3b hit = image.at<cv::Vec3b>(40 + 45, 90 + 45);
    const cv::Vec3b miss = image.at<cv::Vec3b>(40 + 45, 90 + 48 + 45);
    EXPECT_EQ(image.at<cv::Vec3b>(40 + 48 + 45, 90 + 48 + 45), hit);
    EXPECT_EQ(image.at<cv::Vec3b>(40 + 48 + 45, 90 + 45), miss);
    EXPECT_NE(hit, miss);
}

TEST(LossLog, WritesOneCsvLinePerEpoch) {
    LossLog log;
    log.Add(100, 0.5);
    log.Add(40, 0.125);
    EXPECT_EQ(log.Csv(), "epoch,samples,mean_loss\n1,100,0.5\n2,40,0.125\n");
}

TEST(Region, ParsesAndChecksRegions) {
    const Region region = Region::Parse("1,2,30,40");
    EXPECT_EQ(region.x, 1u);
    EXPECT_EQ(region.y, 2u);
    EXPECT_EQ(region.width, 30u);
    EXPECT_EQ(region.height, 40u);
    for (const char* bad : {"1,2,3", "1,2,3,4,5", "1,2,0,4", "a,2,3,4", "-1,2,3,4", "1,,3,4"}) {
        EXPECT_THROW(Region::Parse(bad), std::invalid_argument) << bad;
    }
    const cv::Mat image(42, 31, CV_8UC1);
    EXPECT_NO_THROW(region.CheckInside(image, "image"));
    EXPECT_THROW(Region::Parse("2,2,30,40").CheckInside(image, "image"), std::runtime_error);
    EXPECT_THROW(Region::Parse("1,3,30,40").CheckInside(image, "image"), std::runtime_error);
    const Region whole = Region::Whole(image);
    EXPECT_EQ(whole.width, 31u);
    EXPECT_EQ(whole.height, 42u);
}

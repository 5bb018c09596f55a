#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <stdexcept>

#include "cli/Charts.h"
#include "cli/LossLog.h"
#include "cli/Region.h"
#include "support/TempDir.h"

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
    LossLog log;
    for (int i = 1; i <= 4; ++i) log.Add({1, 1, i * 100u, 0.0, 0.5 - 0.1 * i, -1.0});
    const cv::Mat image = Charts::LossCurve(log);
    ASSERT_EQ(image.type(), CV_8UC3);
    const double left = CurveRow(image, 0, image.cols / 3);
    // Left of the legend, which stands in the last quarter.
    const double right = CurveRow(image, image.cols / 2, 2 * image.cols / 3);
    ASSERT_GE(left, 0.0);
    ASSERT_GE(right, 0.0);
    // Rows count downwards: a falling loss ends lower on the screen's y scale.
    EXPECT_LT(left, right - 100) << left << " " << right;
    // A single point still shows; a validated epoch adds the accuracy chart below.
    LossLog one;
    one.Add({1, 1, 50, 0.0, 0.3, -1.0});
    EXPECT_GE(CurveRow(Charts::LossCurve(one), 0, image.cols), 0.0);
    one.SetLastValidation(0.8);
    const cv::Mat both = Charts::LossCurve(one);
    EXPECT_EQ(both.rows, 2 * image.rows);
    EXPECT_GE(CurveRow(both(cv::Rect(0, image.rows, image.cols, image.rows)), 0, image.cols), 0.0);
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

TEST(LossLog, KeepsTheHistoryOfEveryRun) {
    const TempDir dir;
    EXPECT_EQ(LossLog::Read("loss.csv").NextRun(), 1u);
    // The earlier per-epoch format is run 1, its samples counted on.
    TempDir::WriteFile("loss.csv", "epoch,samples,mean_loss\n1,100,0.5\n2,100,0.25\n");
    LossLog log = LossLog::Read("loss.csv");
    ASSERT_EQ(log.NextRun(), 2u);
    log.Add({2, 1, 40, 0.02, 0.125, -1.0});
    log.SetLastValidation(0.75);
    log.WriteCsv("loss.csv");
    const std::string csv =
        "run,epoch,samples,learning_rate,mean_loss,validation_accuracy\n"
        "1,1,100,,0.5,\n1,2,200,,0.25,\n2,1,40,0.02,0.125,0.75\n";
    EXPECT_EQ(TempDir::ReadFile("loss.csv"), csv);
    EXPECT_EQ(LossLog::Read("loss.csv").Csv(), csv);
    EXPECT_EQ(LossLog::Read("loss.csv").Runs().size(), 2u);
    for (const char* broken : {"time,loss\n", "epoch,samples,mean_loss\n1,x,0.5\n"}) {
        TempDir::WriteFile("loss.csv", broken);
        EXPECT_THROW(LossLog::Read("loss.csv"), std::runtime_error) << broken;
    }
}

TEST(Region, ParsesAndChecksRegions) {
    const Region region = Region::Parse("1,2,30,40");
    EXPECT_TRUE(region.x == 1 && region.y == 2 && region.width == 30 && region.height == 40);
    for (const char* bad : {"1,2,3", "1,2,3,4,5", "1,2,0,4", "a,2,3,4", "-1,2,3,4", "1,,3,4"}) {
        EXPECT_THROW(Region::Parse(bad), std::invalid_argument) << bad;
    }
    const cv::Mat image(42, 31, CV_8UC1);
    EXPECT_NO_THROW(region.CheckInside(image, "image"));
    EXPECT_THROW(Region::Parse("2,2,30,40").CheckInside(image, "image"), std::runtime_error);
    EXPECT_THROW(Region::Parse("1,3,30,40").CheckInside(image, "image"), std::runtime_error);
    EXPECT_TRUE(Region::Whole(image).width == 31 && Region::Whole(image).height == 42);
}

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <opencv2/imgproc.hpp>

#include "input/InputPreparation.h"
#include "support/TempDir.h"
#include "support/ThrownText.h"

namespace {

cv::Mat Work(int rows, int cols) { return cv::Mat(rows, cols, CV_32FC3, cv::Scalar::all(0)); }
cv::Mat Mask(int rows, int cols) { return cv::Mat(rows, cols, CV_32FC1, cv::Scalar(0)); }
int NonZero(const cv::Mat& m) { return cv::countNonZero(m.reshape(1)); }

// Fits a uniform (B, G, R) = (255, 102, 51) region of cols x rows into the
// zeroed `work` and checks that the picture landed in work's own buffer:
// (255, 102, 51) / 255 = (1.0, 0.4, 0.2) inside fitRect, 0 everywhere else.
cv::Rect FitUniform(int cols, int rows, cv::Mat& work) {
    const cv::Mat image(rows, cols, CV_8UC3, cv::Scalar(255, 102, 51));
    const uchar* const data = work.data;
    const cv::Rect fit = InputPreparation::PrepareInput(image, cv::Rect(0, 0, cols, rows), work);
    EXPECT_EQ(work.data, data);
    cv::Mat outside = work.clone();
    outside(fit).setTo(cv::Scalar::all(0));
    EXPECT_EQ(NonZero(outside), 0);
    for (int c = 0; c < 3; ++c) {
        double low = 0, high = 0;
        cv::Mat channel;
        cv::extractChannel(work(fit), channel, c);
        cv::minMaxLoc(channel, &low, &high);
        const double expected[] = {1.0, 0.4, 0.2};
        EXPECT_NEAR(low, expected[c], 1e-6);
        EXPECT_NEAR(high, expected[c], 1e-6);
    }
    return fit;
}

// Points TMPDIR at a fresh directory so the diagnostic image lands there.
class ScratchTemp {
  public:
    ScratchTemp() {
        const char* old = getenv("TMPDIR");
        if (old != nullptr) previous_ = old;
        hadPrevious_ = old != nullptr;
        setenv("TMPDIR", dir_.path().c_str(), 1);
    }
    ~ScratchTemp() {
        if (hadPrevious_)
            setenv("TMPDIR", previous_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    const std::filesystem::path& path() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace

TEST(InputPreparation, FitsRegionKeepingAspectRatio) {
    cv::Mat work = Work(64, 64);
    // 64 / 200 = 0.32, 100 * 0.32 = 32 rows, (64 - 32) / 2 = 16 rows above.
    EXPECT_EQ(FitUniform(200, 100, work), cv::Rect(0, 16, 64, 32));
    work = Work(64, 64);
    // 52 * (64 / 100) = 33.28: 33 rows, (64 - 33) / 2 = 15 above, 16 below.
    EXPECT_EQ(FitUniform(100, 52, work), cv::Rect(0, 15, 64, 33));
    work = Work(64, 64);
    // 64 / 100 = 0.64, 50 * 0.64 = 32 columns, centred at 16.
    EXPECT_EQ(FitUniform(50, 100, work), cv::Rect(16, 0, 32, 64));
    work = Work(64, 64);
    EXPECT_EQ(FitUniform(100, 100, work), cv::Rect(0, 0, 64, 64));
    // 41 * (32 / 41) is 31.999998 in float: 31 columns, (32 - 31) / 2 = 0.
    work = Work(32, 32);
    EXPECT_EQ(FitUniform(41, 41, work), cv::Rect(0, 0, 31, 32));
}

TEST(InputPreparation, CutsTheRequestedRegion) {
    // A 40 x 20 block of (10, 200, 90) at (100, 50) in a white image.
    cv::Mat image(200, 300, CV_8UC3, cv::Scalar::all(255));
    image(cv::Rect(100, 50, 40, 20)).setTo(cv::Scalar(10, 200, 90));
    cv::Mat work = Work(64, 64);
    // 64 / 40 = 1.6, 20 * 1.6 = 32 rows at (64 - 32) / 2 = 16.
    const cv::Rect fit = InputPreparation::PrepareInput(image, cv::Rect(100, 50, 40, 20), work);
    ASSERT_EQ(fit, cv::Rect(0, 16, 64, 32));
    // A single white pixel taken in would blend into the edge of the picture.
    cv::Mat difference;
    cv::absdiff(work(fit), cv::Scalar(10 / 255.0, 200 / 255.0, 90 / 255.0), difference);
    double largest = 0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
    EXPECT_LT(largest, 1e-6);

    EXPECT_THROW(InputPreparation::PrepareInput(image, cv::Rect(280, 0, 40, 20), work),
                 cv::Exception);
    EXPECT_THROW(InputPreparation::PrepareInput(image, cv::Rect(0, 0, -4, 20), work),
                 cv::Exception);
}

TEST(InputPreparation, ConvertsOnlyEightBitImages) {
    const cv::Mat grey = (cv::Mat_<uchar>(1, 4) << 0, 51, 204, 255);
    const cv::Mat colour = InputPreparation::ToFloatColor(grey);
    ASSERT_EQ(colour.type(), CV_32FC3);
    // 51 / 255 = 0.2 and 204 / 255 = 0.8, copied to all three channels.
    const float expected[] = {0.0f, 0.2f, 0.8f, 1.0f};
    for (int x = 0; x < 4; ++x)
        for (int c = 0; c < 3; ++c) EXPECT_FLOAT_EQ(colour.at<cv::Vec3f>(0, x)[c], expected[x]);

    // Blue, green and red keep their places.
    const cv::Mat bgr(1, 1, CV_8UC3, cv::Scalar(255, 0, 51));
    const cv::Vec3f pixel = InputPreparation::ToFloatColor(bgr).at<cv::Vec3f>(0, 0);
    EXPECT_FLOAT_EQ(pixel[0], 1.0f);
    EXPECT_FLOAT_EQ(pixel[1], 0.0f);
    EXPECT_FLOAT_EQ(pixel[2], 0.2f);

    cv::Mat work = Work(8, 8);
    for (int type : {CV_16UC1, CV_16UC3, CV_32FC1, CV_32FC3, CV_8UC4}) {
        const cv::Mat image(8, 8, type, cv::Scalar::all(1));
        EXPECT_EQ(ThrownText([&] { InputPreparation::ToFloatColor(image); }), "invalid image");
        EXPECT_EQ(ThrownText([&] {
                      InputPreparation::PrepareInput(image, {0, 0, 8, 8}, work);
                  }),
                  "invalid image");
    }
}

TEST(InputPreparation, RefusesValuesOutOfRange) {
    ScratchTemp temp;
    const std::filesystem::path file = InputPreparation::CorruptedImagePath();
    EXPECT_EQ(file, temp.path() / "img_corrupted.tif");

    cv::Mat work = Work(4, 4);
    work.at<cv::Vec3f>(0, 0) = cv::Vec3f(1.0f, 0.5f, -0.00005f);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(InputPreparation::ValidateRange(work, -0.0001, 1.0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(std::filesystem::exists(file));

    // One bad value in the last channel, then one in the middle channel.
    for (const auto& bad : {cv::Vec3f(0.0f, 0.0f, 1.5f), cv::Vec3f(0.0f, -0.5f, 0.0f)}) {
        std::filesystem::remove(file);
        cv::Mat image = Work(4, 4);
        image.at<cv::Vec3f>(3, 2) = bad;
        testing::internal::CaptureStdout();
        const std::string thrown =
            ThrownText([&] { InputPreparation::ValidateRange(image, -0.0001, 1.0); });
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Validator: Input maps has invalid values: ");
        EXPECT_EQ(thrown, "wrong values");
        EXPECT_TRUE(std::filesystem::exists(file));
        EXPECT_EQ(image.at<cv::Vec3f>(3, 2), bad);
    }
}

TEST(InputPreparation, MasksOnlyDetailInsideTheFrame) {
    // Uniform 0.5 between black bands: blur and picture agree, nothing marked.
    cv::Mat work = Work(16, 16);
    work(cv::Rect(0, 4, 16, 8)).setTo(cv::Scalar::all(0.5));
    cv::Mat mask = Mask(16, 16);
    InputPreparation::BuildMask(work, cv::Rect(0, 4, 16, 8), mask);
    EXPECT_EQ(NonZero(mask), 0);

    // 9 x 9 picture, inner 5 x 5 at (2, 2), dot g at the centre: every inner
    // blur window holds the dot, so blurred = g/25 and the difference is
    // 24g/25 at the dot, g/25 on the 24 others; mean 48g/625 = 0.0768g.
    work = Work(9, 9);
    work.at<cv::Vec3f>(4, 4) = cv::Vec3f(1, 1, 1);
    mask = Mask(9, 9);
    const uchar* const data = mask.data;
    InputPreparation::BuildMask(work, cv::Rect(0, 0, 9, 9), mask);
    EXPECT_EQ(mask.data, data);
    cv::Mat expected = Mask(9, 9);
    expected.at<float>(4, 4) = 1.0f;
    EXPECT_EQ(NonZero(mask != expected), 0);

    // Dot in the frame at (row 1, col 4): the blur reads it from outside the
    // window for inner rows 2 and 3 (10 pixels at g/25, mean 0.016g), which
    // are marked; the frame itself is not.
    work = Work(9, 9);
    work.at<cv::Vec3f>(1, 4) = cv::Vec3f(1, 1, 1);
    mask = Mask(9, 9);
    InputPreparation::BuildMask(work, cv::Rect(0, 0, 9, 9), mask);
    expected = Mask(9, 9);
    expected(cv::Rect(2, 2, 5, 2)).setTo(1.0);
    EXPECT_EQ(NonZero(mask != expected), 0);
}

TEST(InputPreparation, KeepsMarginOnlyFromFiveRows) {
    // Height 5 at row 2: inner is row 4, columns 2-6, the frame around it is
    // g. Blur windows hold 20 frame pixels from rows 2, 3, 5, 6 plus 2, 1, 0,
    // 1, 2 from row 4: (22, 21, 20, 21, 22)g/25, mean 106g/125 = 0.848g, so
    // only columns 2 and 6 (0.88g) are marked, none of the frame.
    cv::Mat work = Work(9, 9);
    work(cv::Rect(0, 2, 9, 5)).setTo(cv::Scalar::all(1));
    work(cv::Rect(2, 4, 5, 1)).setTo(cv::Scalar::all(0));
    cv::Mat mask = Mask(9, 9);
    InputPreparation::BuildMask(work, cv::Rect(0, 2, 9, 5), mask);
    cv::Mat expected = Mask(9, 9);
    expected.at<float>(4, 2) = expected.at<float>(4, 6) = 1.0f;
    EXPECT_EQ(NonZero(mask != expected), 0);

    // Height 4 at row 2, 8 wide, no margin: dot g on the top row at column
    // 3. Windows at rows 2-4, columns 1-5 hold it: 14 pixels at g/25 plus
    // 24g/25 at the dot, mean 38g/800 = 0.0475g: only the dot is marked.
    work = Work(8, 8);
    work.at<cv::Vec3f>(2, 3) = cv::Vec3f(1, 1, 1);
    mask = Mask(8, 8);
    InputPreparation::BuildMask(work, cv::Rect(0, 2, 8, 4), mask);
    expected = Mask(8, 8);
    expected.at<float>(2, 3) = 1.0f;
    EXPECT_EQ(NonZero(mask != expected), 0);

    for (int type : {CV_8UC3, CV_32FC1}) {
        const cv::Mat image(8, 8, type, cv::Scalar::all(0));
        EXPECT_EQ(ThrownText([&] {
                      InputPreparation::BuildMask(image, {0, 0, 8, 8}, mask);
                  }),
                  "invalid nr of channels");
    }
}

TEST(InputPreparation, DetailMaskWritesIntoTheWindow) {
    // Same dot as above, through the windows directly: the mark must appear
    // in the parent mask, at (4, 4), i.e. (2, 2) of the window.
    cv::Mat grey = Mask(9, 9);
    grey.at<float>(4, 4) = 1.0f;
    cv::Mat mask = Mask(9, 9);
    const cv::Rect inner(2, 2, 5, 5);
    InputPreparation::DetailMask(grey(inner), mask(inner));
    EXPECT_EQ(mask.at<float>(4, 4), 1.0f);
    EXPECT_EQ(NonZero(mask), 1);
}

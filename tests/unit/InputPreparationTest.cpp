#include <gtest/gtest.h>

#include <array>
#include <opencv2/imgproc.hpp>

#include "input/InputPreparation.h"
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
    cv::Mat expected(work.size(), CV_32FC3, cv::Scalar::all(0));
    expected(fit).setTo(cv::Scalar(1.0, 0.4, 0.2));
    EXPECT_LT(cv::norm(work, expected, cv::NORM_INF), 1e-6);
    return fit;
}

}  // namespace

TEST(InputPreparation, FitsRegionKeepingAspectRatio) {
    // Region width and height, work image side, where the picture lands.
    const std::vector<std::pair<std::array<int, 3>, cv::Rect>> cases{
        {{200, 100, 64}, {0, 16, 64, 32}},  // 100 x 64/200 = 32 rows, 16 above
        {{100, 52, 64}, {0, 15, 64, 33}},   // 33.28 rows: 33, 15 above, 16 below
        {{50, 100, 64}, {16, 0, 32, 64}},   // 32 columns, centred
        {{100, 100, 64}, {0, 0, 64, 64}},
        {{41, 41, 32}, {0, 0, 31, 32}},  // 41 x (32 / 41) is 31.999998 in float
    };
    for (const auto& [sizes, fit] : cases) {
        cv::Mat work = Work(sizes[2], sizes[2]);
        EXPECT_EQ(FitUniform(sizes[0], sizes[1], work), fit);
    }
}

TEST(InputPreparation, MasksDetailInsideTheFrameKeepingAMarginFromFiveRows) {
    // Painted rectangles of the work image, the fitted picture, and the
    // cells the mask must mark (a dot g gives blurred g/25 in every window
    // holding it; the threshold is the mean difference over the inner part).
    struct Case {
        const char* what;
        int side;
        std::vector<std::pair<cv::Rect, float>> paint;
        cv::Rect fit;
        std::vector<cv::Rect> marked;
    };
    const std::vector<Case> cases{
        {"uniform between black bands", 16, {{{0, 4, 16, 8}, 0.5f}}, {0, 4, 16, 8}, {}},
        // Inner 5 x 5: 24g/25 at the dot, g/25 on the others.
        {"a dot in the middle", 9, {{{4, 4, 1, 1}, 1.0f}}, {0, 0, 9, 9}, {{4, 4, 1, 1}}},
        // A dot in the frame is read from outside the window by inner rows 2
        // and 3 (mean 0.016g), which are marked; the frame itself is not.
        {"a dot in the frame", 9, {{{4, 1, 1, 1}, 1.0f}}, {0, 0, 9, 9}, {{2, 2, 5, 2}}},
        // Height 5: inner row 4 only, (22, 21, 20, 21, 22)g/25 against a
        // mean of 0.848g: its two ends.
        {"five rows",
         9,
         {{{0, 2, 9, 5}, 1.0f}, {{2, 4, 5, 1}, 0.0f}},
         {0, 2, 9, 5},
         {{2, 4, 1, 1}, {6, 4, 1, 1}}},
        // Height 4: no margin; the dot on the top row is marked.
        {"four rows", 8, {{{3, 2, 1, 1}, 1.0f}}, {0, 2, 8, 4}, {{3, 2, 1, 1}}},
    };
    for (const Case& c : cases) {
        cv::Mat work = Work(c.side, c.side);
        for (const auto& [rect, value] : c.paint) work(rect).setTo(cv::Scalar::all(value));
        cv::Mat mask = Mask(c.side, c.side);
        const uchar* const data = mask.data;
        InputPreparation::BuildMask(work, c.fit, mask);
        EXPECT_EQ(mask.data, data) << c.what;
        cv::Mat expected = Mask(c.side, c.side);
        for (const cv::Rect& rect : c.marked) expected(rect).setTo(1.0);
        EXPECT_EQ(NonZero(mask != expected), 0) << c.what;
    }
    cv::Mat mask = Mask(8, 8);
    for (int type : {CV_8UC3, CV_32FC1}) {
        const cv::Mat image(8, 8, type, cv::Scalar::all(0));
        EXPECT_EQ(ThrownText([&] {
                      InputPreparation::BuildMask(image, {0, 0, 8, 8}, mask);
                  }),
                  "invalid nr of channels");
    }
}

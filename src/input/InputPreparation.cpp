#include "input/InputPreparation.h"

#include <filesystem>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace InputPreparation {

namespace {

const double kByteScale = 1.0 / 255.0;

}  // namespace

cv::Rect PrepareInput(const cv::Mat& image, cv::Rect region, cv::Mat& workImage) {
    // The resize must land in workImage's own buffer; a work image of another
    // type would make OpenCV allocate a fresh target and drop the result.
    CV_Assert(workImage.type() == CV_32FC3);

    const cv::Mat cut = image(region);
    const cv::Mat floatImage = ToFloatColor(cut);
    // An empty cut has no aspect ratio (0 / 0 below).
    CV_Assert(!floatImage.empty());

    // Single precision on purpose: 41 * (32 / 41) must come out just below 32.
    const float W = static_cast<float>(workImage.cols);
    const float H = static_cast<float>(workImage.rows);
    const float c = static_cast<float>(floatImage.cols);
    const float r = static_cast<float>(floatImage.rows);
    cv::Rect fitRect;
    if (c > r) {
        const float scale = W / c;
        const int height = static_cast<int>(r * scale);
        fitRect = cv::Rect(0, (workImage.rows - height) / 2, workImage.cols, height);
    } else {
        const float scale = H / r;
        const int width = static_cast<int>(c * scale);
        fitRect = cv::Rect((workImage.cols - width) / 2, 0, width, workImage.rows);
    }

    // Same size and type as the view, so resize writes into workImage itself.
    cv::Mat target = workImage(fitRect);
    cv::resize(floatImage, target, fitRect.size(), 0, 0, cv::INTER_LINEAR);
    return fitRect;
}

cv::Mat ToFloatColor(const cv::Mat& image) {
    cv::Mat result;
    if (image.type() == CV_8UC1) {
        cv::Mat colour;
        cv::cvtColor(image, colour, cv::COLOR_GRAY2BGR);
        colour.convertTo(result, CV_32FC3, kByteScale, 0.0);
    } else if (image.type() == CV_8UC3) {
        image.convertTo(result, CV_32FC3, kByteScale, 0.0);
    } else {
        throw "invalid image";
    }
    return result;
}

bool ValidateRange(const cv::Mat& workImage, double low, double high) {
    double smallest = 0.0;
    double largest = 0.0;
    // minMaxLoc takes one channel; seen as one channel, all values count.
    cv::minMaxLoc(workImage.reshape(1), &smallest, &largest);
    if (smallest < low || largest > high || largest < low || smallest > high) {
        std::cout << "Validator: Input maps has invalid values: " << std::flush;
        // Only a diagnostic: whether it could be written changes nothing.
        cv::imwrite(CorruptedImagePath(), workImage);
        throw "wrong values";
    }
    return true;
}

std::string CorruptedImagePath() {
#if defined(_WIN32)
    return "c:\\temp\\img_corrupted.tif";
#else
    return (std::filesystem::temp_directory_path() / "img_corrupted.tif").string();
#endif
}

void BuildMask(const cv::Mat& workImage, cv::Rect fitRect, cv::Mat& workMask) {
    if (workImage.type() != CV_32FC3) throw "invalid nr of channels";

    cv::Mat grey;
    cv::cvtColor(workImage, grey, cv::COLOR_BGR2GRAY);

    // Keep the picture's edge, where the blur meets the black band, unmarked.
    const int margin = fitRect.height - 4 > 0 ? 2 : 0;
    const cv::Rect inner(fitRect.x + margin, fitRect.y + margin, fitRect.width - 2 * margin,
                         fitRect.height - 2 * margin);
    DetailMask(grey(inner), workMask(inner));
}

void DetailMask(const cv::Mat& greyWindow, cv::Mat maskWindow) {
    // threshold would otherwise allocate a new matrix instead of filling the window.
    CV_Assert(greyWindow.type() == CV_32FC1 && maskWindow.type() == CV_32FC1 &&
              maskWindow.size() == greyWindow.size());

    cv::Mat blurred;
    cv::blur(greyWindow, blurred, cv::Size(5, 5), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    cv::Mat difference;
    cv::absdiff(blurred, greyWindow, difference);
    const double t = cv::mean(difference)[0];
    cv::threshold(difference, maskWindow, t, 1.0, cv::THRESH_BINARY);
}

}  // namespace InputPreparation

#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

// Small synthetic pictures with real local detail, so the detail mask
// selects a good share of positions.
inline cv::Mat TexturedImage(int width, int height, int seed) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(static_cast<uint64_t>(seed) * 7919 + 17);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(
                static_cast<uchar>((x * 255) / width), static_cast<uchar>((y * 255) / height),
                static_cast<uchar>(((x + y) * 3 + seed * 40) % 256));
    for (int i = 0; i < 6; ++i) {
        const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
        const int radius = rng.uniform(2, std::max(3, width / 5));
        cv::circle(image, centre, radius,
                   cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256)),
                   cv::FILLED);
    }
    return image;
}

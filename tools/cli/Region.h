#pragma once

#include <opencv2/core.hpp>
#include <string>

// The part of an image the network looks at.
class Region {
  public:
    // The whole image.
    static Region Whole(const cv::Mat& image);
    // "x,y,w,h" with w and h above zero; throws std::invalid_argument otherwise.
    static Region Parse(const std::string& text);

    // Throws std::runtime_error (naming what) when the region leaves the image.
    void CheckInside(const cv::Mat& image, const std::string& what) const;

    unsigned x = 0, y = 0, width = 0, height = 0;
};

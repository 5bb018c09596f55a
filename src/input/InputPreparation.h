#pragma once

#include <opencv2/core.hpp>
#include <string>

// Turns a caller's image region into the network's input: three float
// channels in [0, 1] fitted, aspect ratio kept, into a zeroed work image; a
// check that the prepared values lie in range; and the detail mask that marks
// the pixels with local contrast. Nothing here owns memory beyond a call:
// every result is written into the caller's work matrices, through views, so
// those keep their buffers. Failures are thrown as message texts; OpenCV's
// own exceptions pass through.
namespace InputPreparation {

// Cuts `region` out of `image` (8-bit grey or colour), converts it and fits
// it into `workImage` (CV_32FC3, all 0), centred between black bands. Returns
// the rectangle of `workImage` that the picture occupies. A region that is
// not inside the image, or is empty, fails with OpenCV's exception.
cv::Rect PrepareInput(const cv::Mat& image, cv::Rect region, cv::Mat& workImage);

// A new CV_32FC3 copy of an 8-bit grey or colour image, scaled to [0, 1].
// Throws "invalid image" for any other type.
cv::Mat ToFloatColor(const cv::Mat& image);

// True when every element of `workImage` lies in [low, high]. Otherwise
// prints "Validator: Input maps has invalid values: " (no line end), writes
// the image to CorruptedImagePath() for inspection and throws "wrong values".
bool ValidateRange(const cv::Mat& workImage, double low, double high);

// Where ValidateRange leaves the image it refused.
std::string CorruptedImagePath();

// Fills `workMask` (CV_32FC1, same size as `workImage`, all 0) with 1.0 where
// the grey picture inside `fitRect` has local detail. A 2-pixel frame of
// `fitRect` stays 0 unless the picture is 4 rows high or less. Throws
// "invalid nr of channels" unless `workImage` is CV_32FC3.
void BuildMask(const cv::Mat& workImage, cv::Rect fitRect, cv::Mat& workMask);

// Sets `maskWindow` to 1.0 where `greyWindow` differs from its 5 x 5 box blur
// by more than the window's mean difference, else 0.0. Both are CV_32FC1
// windows of the same size; the blur reads the parent image around the
// window. The result is written into `maskWindow`'s own memory.
void DetailMask(const cv::Mat& greyWindow, cv::Mat maskWindow);

}  // namespace InputPreparation

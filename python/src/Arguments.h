#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

// Checks and converts what Python hands the module. Every check raises
// TypeError for a wrong kind of object and ValueError for a wrong shape or
// value, with a message that names the argument. All of these need the GIL.

// A region of an image in pixels, as the library takes it.
struct Region {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// Images as predict, fit and evaluate take them: one (h, w) grey or
// (h, w, 3) blue-green-red uint8 array, an (n, h, w) or (n, h, w, 3) array
// of n images, or a sequence of single images of any sizes. Arrays are
// viewed, not copied, when they are C-contiguous.
struct ImageBatch {
    std::vector<pybind11::array> arrays;  // keep the pixels alive
    std::vector<cv::Mat> views;           // one per image, over `arrays`
    bool single = false;                  // one image, not a batch of one
};
ImageBatch CheckedImages(pybind11::handle images);

// A uint8 numpy array of shape (h, w) or (h, w, 3), C-contiguous (copied to
// make it so when it is not). `name` is how messages call it.
pybind11::array_t<std::uint8_t> CheckedImage(pybind11::handle image, const std::string& name);

// A cv::Mat over the pixels of an array returned by CheckedImage, without a
// copy: grey for (h, w), blue-green-red for (h, w, 3). Valid while the array lives.
cv::Mat ImageView(const pybind11::array& image);

// What a region argument asks for: nothing (None), or a sequence
// (x, y, width, height) of integers, not negative and not empty.
struct RegionRequest {
    bool whole = true;
    long long x = 0, y = 0, width = 0, height = 0;
};
RegionRequest CheckedRegion(pybind11::handle region);
// The region of `image` a request means; ValueError when it reaches outside.
Region RegionIn(const RegionRequest& request, const cv::Mat& image);

// A worker count per pool from 1 to 256 (a network runs four pools).
void CheckThreads(std::uint32_t threads);

// A one-dimensional float32 array of exactly `count` values in [0, 1].
pybind11::array_t<float> CheckedWanted(pybind11::handle wanted, std::size_t count);

// One integer label per image, each in [0, categories).
std::vector<std::size_t> CheckedLabels(pybind11::handle labels, std::size_t images,
                                       std::size_t categories);

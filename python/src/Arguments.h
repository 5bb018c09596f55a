#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>

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

// A uint8 numpy array of shape (h, w) or (h, w, 3), C-contiguous (copied to
// make it so when it is not). The returned array keeps the pixels alive.
pybind11::array_t<std::uint8_t> CheckedImage(pybind11::handle image);

// A cv::Mat over the pixels of an array returned by CheckedImage, without a
// copy: grey for (h, w), blue-green-red for (h, w, 3). Valid while the array lives.
cv::Mat ImageView(const pybind11::array_t<std::uint8_t>& image);

// The whole image for None, otherwise a sequence (x, y, width, height) of
// integers that lies inside the image and is not empty.
Region CheckedRegion(pybind11::handle region, const pybind11::array_t<std::uint8_t>& image);

// A worker count per pool from 1 to 64 (a network runs four pools).
void CheckThreads(std::uint32_t threads);

// A one-dimensional float32 array of exactly `count` values in [0, 1].
pybind11::array_t<float> CheckedWanted(pybind11::handle wanted, std::size_t count);

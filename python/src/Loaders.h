#pragma once

#include <pybind11/pybind11.h>

#include <filesystem>

// corvane.load_idx and corvane.load_folder: the program's data-set readers
// (DataSet) with numpy arrays for results. Each returns (images, labels,
// categories): the images as one uint8 array (n, h, w) or (n, h, w, 3) when
// all share a shape, otherwise as a list of arrays; the labels as an int64
// array of category indices; the category names. Reading runs without the
// GIL; a file that cannot be read raises RuntimeError naming it.

// An IDX image file and its label file (gzip or plain); categories "0" up to
// the largest label.
pybind11::tuple LoadIdx(const std::filesystem::path& images, const std::filesystem::path& labels);

// A folder with one sub-folder of images per category, named after it;
// categories in sorted order, images in sorted order within each.
pybind11::tuple LoadFolder(const std::filesystem::path& root);

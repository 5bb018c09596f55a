#include "Loaders.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "common/DataSet.h"

namespace py = pybind11;

namespace {

struct Loaded {
    std::vector<cv::Mat> images;
    std::vector<std::int64_t> labels;
    std::vector<std::string> categories;
};

// Opens the set with `open` and reads every image, all while the GIL is released.
template <typename Open>
Loaded Read(Open open) {
    Loaded loaded;
    py::gil_scoped_release unlocked;
    const DataSet set = open(loaded.categories);
    for (std::size_t i = 0; i < set.Size(); ++i) {
        loaded.images.push_back(set.Image(i));
        loaded.labels.push_back(static_cast<std::int64_t>(set.Label(i)));
    }
    return loaded;
}

// An array of `count` images shaped like `image`, ready for their pixels.
py::array_t<std::uint8_t> ArrayFor(const cv::Mat& image, py::ssize_t count, bool batch) {
    std::vector<py::ssize_t> shape{image.rows, image.cols};
    if (batch) shape.insert(shape.begin(), count);
    if (image.channels() == 3) shape.push_back(3);
    return py::array_t<std::uint8_t>(shape);
}

// Copies the pixels of image row by row; returns where the next image goes.
std::uint8_t* CopyPixels(const cv::Mat& image, std::uint8_t* to) {
    const std::size_t rowBytes = static_cast<std::size_t>(image.cols) * image.elemSize();
    for (int row = 0; row < image.rows; ++row, to += rowBytes)
        std::memcpy(to, image.ptr(row), rowBytes);
    return to;
}

py::tuple Result(const Loaded& loaded) {
    py::array_t<std::int64_t> labels(static_cast<py::ssize_t>(loaded.labels.size()));
    std::copy(loaded.labels.begin(), loaded.labels.end(), labels.mutable_data());
    const auto differs = [&](const cv::Mat& image) {
        const cv::Mat& first = loaded.images.front();
        return image.size() != first.size() || image.type() != first.type();
    };
    py::object images;
    if (loaded.images.empty() || std::any_of(loaded.images.begin(), loaded.images.end(), differs)) {
        py::list list;
        for (const cv::Mat& image : loaded.images) {
            py::array_t<std::uint8_t> array = ArrayFor(image, 1, false);
            CopyPixels(image, array.mutable_data());
            list.append(array);
        }
        images = std::move(list);
    } else {
        const auto count = static_cast<py::ssize_t>(loaded.images.size());
        py::array_t<std::uint8_t> stacked = ArrayFor(loaded.images.front(), count, true);
        std::uint8_t* to = stacked.mutable_data();
        for (const cv::Mat& image : loaded.images) to = CopyPixels(image, to);
        images = std::move(stacked);
    }
    return py::make_tuple(images, labels, loaded.categories);
}

}  // namespace

py::tuple LoadIdx(const std::filesystem::path& images, const std::filesystem::path& labels) {
    return Result(Read([&](std::vector<std::string>& categories) {
        categories = DataSet::CategoriesOf(labels);
        return DataSet::FromIdx(images, labels, categories.size());
    }));
}

py::tuple LoadFolder(const std::filesystem::path& root) {
    // Checked here: CategoriesOf would take anything else for an IDX label file.
    if (!std::filesystem::is_directory(root)) {
        PyErr_SetString(PyExc_FileNotFoundError, ("no data folder " + root.string()).c_str());
        throw py::error_already_set();
    }
    return Result(Read([&](std::vector<std::string>& categories) {
        categories = DataSet::CategoriesOf(root);
        return DataSet::FromFolder(root, categories);
    }));
}

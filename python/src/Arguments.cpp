#include "Arguments.h"

#include <cmath>
#include <limits>
#include <string>

namespace py = pybind11;

namespace {

std::string TypeName(py::handle object) {
    return py::str(py::type::handle_of(object).attr("__name__"));
}

std::string ShapeText(const py::array& array) {
    std::string text = "(";
    for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
        if (axis > 0) text += ", ";
        text += std::to_string(array.shape(axis));
    }
    return text + (array.ndim() == 1 ? ",)" : ")");
}

// An integer through Python's index protocol, so numpy integers count too.
long long RegionValue(py::handle item, const char* name) {
    if (!PyIndex_Check(item.ptr()) || py::isinstance<py::bool_>(item))
        throw py::type_error(std::string("region ") + name + " must be an integer, got " +
                             TypeName(item));
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
    if (!index) throw py::error_already_set();
    const long long value = PyLong_AsLongLong(index.ptr());
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::value_error(std::string("region ") + name + " is out of range");
    }
    return value;
}

void CheckPixelType(const py::array& array, const std::string& name) {
    if (!py::isinstance<py::array_t<std::uint8_t>>(array))
        throw py::type_error(name + " must have dtype uint8, got " +
                             std::string(py::str(array.dtype())));
}

// The image axes from `first` on (rows, then columns) are neither empty nor
// beyond what cv::Mat can index.
void CheckSides(const py::array& array, py::ssize_t first, const std::string& name) {
    const py::ssize_t rows = array.shape(first), cols = array.shape(first + 1);
    if (rows == 0 || cols == 0)
        throw py::value_error(name + " is empty: shape " + ShapeText(array));
    const py::ssize_t limit = std::numeric_limits<int>::max();
    if (rows > limit || cols > limit)
        throw py::value_error(name + " is too large: shape " + ShapeText(array));
}

}  // namespace

py::array_t<std::uint8_t> CheckedImage(py::handle image, const std::string& name) {
    if (!py::isinstance<py::array>(image))
        throw py::type_error(name + " must be a numpy array, got " + TypeName(image));
    const auto array = py::reinterpret_borrow<py::array>(image);
    CheckPixelType(array, name);
    const bool grey = array.ndim() == 2;
    const bool colour = array.ndim() == 3 && array.shape(2) == 3;
    if (!grey && !colour)
        throw py::value_error(name + " must have shape (h, w) or (h, w, 3), got " +
                              ShapeText(array));
    CheckSides(array, 0, name);
    // Copies only when the pixels are not already one C-ordered block.
    return py::array_t<std::uint8_t, py::array::c_style>::ensure(array);
}

ImageBatch CheckedImages(py::handle images) {
    ImageBatch batch;
    if (!py::isinstance<py::array>(images)) {
        if (!py::isinstance<py::sequence>(images) || py::isinstance<py::str>(images) ||
            py::isinstance<py::bytes>(images))
            throw py::type_error(
                "images must be a numpy array or a sequence of numpy arrays, got " +
                TypeName(images));
        const auto items = py::reinterpret_borrow<py::sequence>(images);
        for (std::size_t i = 0; i < items.size(); ++i) {
            batch.arrays.push_back(CheckedImage(items[i], "images[" + std::to_string(i) + "]"));
            batch.views.push_back(ImageView(batch.arrays.back()));
        }
        return batch;
    }
    const auto array = py::reinterpret_borrow<py::array>(images);
    CheckPixelType(array, "images");
    const py::ssize_t axes = array.ndim();
    const py::ssize_t last = axes > 0 ? array.shape(axes - 1) : 0;
    if (axes == 2 || (axes == 3 && last == 3)) {
        batch.single = true;
        batch.arrays.push_back(CheckedImage(images, "image"));
        batch.views.push_back(ImageView(batch.arrays.back()));
        return batch;
    }
    // Grey and alpha channels look like grey images one or four pixels wide:
    // far likelier a mistake than a batch of such images (a list takes those).
    if (!(axes == 3 && last != 1 && last != 4) && !(axes == 4 && last == 3))
        throw py::value_error(
            "images must have shape (h, w), (h, w, 3), (n, h, w) or (n, h, w, 3), got " +
            ShapeText(array));
    CheckSides(array, 1, "images");
    const auto pixels = py::array_t<std::uint8_t, py::array::c_style>::ensure(array);
    batch.arrays.push_back(pixels);
    const int rows = static_cast<int>(pixels.shape(1));
    const int cols = static_cast<int>(pixels.shape(2));
    const int type = axes == 3 ? CV_8UC1 : CV_8UC3;
    for (py::ssize_t i = 0; i < pixels.shape(0); ++i) {
        // The library only reads the image; cv::Mat has no const view to offer.
        auto* const first = const_cast<std::uint8_t*>(pixels.data()) + i * pixels.strides(0);
        batch.views.emplace_back(rows, cols, type, first,
                                 static_cast<std::size_t>(pixels.strides(1)));
    }
    return batch;
}

cv::Mat ImageView(const py::array& image) {
    const int rows = static_cast<int>(image.shape(0));
    const int cols = static_cast<int>(image.shape(1));
    const int type = image.ndim() == 2 ? CV_8UC1 : CV_8UC3;
    // The library only reads the image; cv::Mat has no const view to offer.
    return cv::Mat(rows, cols, type, const_cast<void*>(image.data()),
                   static_cast<std::size_t>(image.strides(0)));
}

RegionRequest CheckedRegion(py::handle region) {
    RegionRequest request;
    if (region.is_none()) return request;
    if (!py::isinstance<py::sequence>(region) || py::isinstance<py::str>(region))
        throw py::type_error("region must be a sequence (x, y, width, height), got " +
                             TypeName(region));
    const auto items = py::reinterpret_borrow<py::sequence>(region);
    if (items.size() != 4)
        throw py::value_error("region must have 4 values (x, y, width, height), got " +
                              std::to_string(items.size()));
    request.whole = false;
    request.x = RegionValue(items[0], "x");
    request.y = RegionValue(items[1], "y");
    request.width = RegionValue(items[2], "width");
    request.height = RegionValue(items[3], "height");
    if (request.x < 0 || request.y < 0)
        throw py::value_error("region x and y must not be negative");
    if (request.width <= 0 || request.height <= 0)
        throw py::value_error("region width and height must be positive");
    return request;
}

Region RegionIn(const RegionRequest& request, const cv::Mat& image) {
    const long long rows = image.rows;
    const long long cols = image.cols;
    if (request.whole)
        return {0, 0, static_cast<std::uint32_t>(cols), static_cast<std::uint32_t>(rows)};
    const long long x = request.x, y = request.y, width = request.width, height = request.height;
    // Compared as differences so that huge values cannot overflow.
    if (x >= cols || width > cols - x || y >= rows || height > rows - y)
        throw py::value_error("region (" + std::to_string(x) + ", " + std::to_string(y) + ", " +
                              std::to_string(width) + ", " + std::to_string(height) +
                              ") reaches outside the image of " + std::to_string(cols) + "x" +
                              std::to_string(rows) + " pixels");
    return {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
            static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
}

void CheckThreads(std::uint32_t threads) {
    // The library's own limit.
    constexpr std::uint32_t kMaxThreads = 256;
    if (threads < 1 || threads > kMaxThreads)
        throw py::value_error("threads must be between 1 and " + std::to_string(kMaxThreads) +
                              ", got " + std::to_string(threads));
}

py::array_t<float> CheckedWanted(py::handle wanted, std::size_t count) {
    if (py::isinstance<py::str>(wanted) || py::isinstance<py::bytes>(wanted))
        throw py::type_error("wanted must be a sequence of numbers, got " + TypeName(wanted));
    auto values = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(wanted);
    if (!values)
        throw py::type_error("wanted must be a sequence of numbers, got " + TypeName(wanted));
    if (values.ndim() != 1 || static_cast<std::size_t>(values.size()) != count)
        throw py::value_error("wanted must hold one value per output (" + std::to_string(count) +
                              "), got shape " + ShapeText(values));
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        const float value = values.data()[i];
        if (!(value >= 0.0f && value <= 1.0f))
            throw py::value_error("wanted values must lie in [0, 1], got " + std::to_string(value) +
                                  " at " + std::to_string(i));
    }
    return values;
}

std::vector<std::size_t> CheckedLabels(py::handle labels, std::size_t images,
                                       std::size_t categories) {
    if (py::isinstance<py::str>(labels) || py::isinstance<py::bytes>(labels))
        throw py::type_error("labels must be a sequence of integers, got " + TypeName(labels));
    const py::array array = py::array::ensure(labels);
    if (!array) throw py::error_already_set();
    const char kind = array.dtype().kind();
    if (kind != 'i' && kind != 'u')
        throw py::type_error("labels must be integers, got dtype " +
                             std::string(py::str(array.dtype())));
    if (array.ndim() != 1)
        throw py::value_error("labels must be one-dimensional, got shape " + ShapeText(array));
    if (static_cast<std::size_t>(array.shape(0)) != images)
        throw py::value_error(std::to_string(images) + " images but " +
                              std::to_string(array.shape(0)) + " labels");
    const auto values = py::array_t<long long, py::array::forcecast>::ensure(array);
    std::vector<std::size_t> checked(images);
    for (std::size_t i = 0; i < images; ++i) {
        const long long label = values.at(static_cast<py::ssize_t>(i));
        // An unsigned label beyond long long's range arrives negative.
        if (label < 0 || static_cast<unsigned long long>(label) >= categories)
            throw py::value_error("labels[" + std::to_string(i) + "] is " + std::to_string(label) +
                                  ", outside 0 to " + std::to_string(categories - 1));
        checked[i] = static_cast<std::size_t>(label);
    }
    return checked;
}

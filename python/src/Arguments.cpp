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

}  // namespace

py::array_t<std::uint8_t> CheckedImage(py::handle image) {
    if (!py::isinstance<py::array>(image))
        throw py::type_error("image must be a numpy array, got " + TypeName(image));
    const auto array = py::reinterpret_borrow<py::array>(image);
    if (!py::isinstance<py::array_t<std::uint8_t>>(array))
        throw py::type_error("image must have dtype uint8, got " +
                             std::string(py::str(array.dtype())));
    const bool grey = array.ndim() == 2;
    const bool colour = array.ndim() == 3 && array.shape(2) == 3;
    if (!grey && !colour)
        throw py::value_error("image must have shape (h, w) or (h, w, 3), got " + ShapeText(array));
    if (array.shape(0) == 0 || array.shape(1) == 0)
        throw py::value_error("image is empty: shape " + ShapeText(array));
    const py::ssize_t limit = std::numeric_limits<int>::max();
    if (array.shape(0) > limit || array.shape(1) > limit)
        throw py::value_error("image is too large: shape " + ShapeText(array));
    // Copies only when the pixels are not already one C-ordered block.
    return py::array_t<std::uint8_t, py::array::c_style>::ensure(array);
}

cv::Mat ImageView(const py::array_t<std::uint8_t>& image) {
    const int rows = static_cast<int>(image.shape(0));
    const int cols = static_cast<int>(image.shape(1));
    const int type = image.ndim() == 2 ? CV_8UC1 : CV_8UC3;
    // The library only reads the image; cv::Mat has no const view to offer.
    return cv::Mat(rows, cols, type, const_cast<std::uint8_t*>(image.data()),
                   static_cast<std::size_t>(image.strides(0)));
}

Region CheckedRegion(py::handle region, const py::array_t<std::uint8_t>& image) {
    const long long rows = image.shape(0);
    const long long cols = image.shape(1);
    if (region.is_none())
        return {0, 0, static_cast<std::uint32_t>(cols), static_cast<std::uint32_t>(rows)};
    if (!py::isinstance<py::sequence>(region) || py::isinstance<py::str>(region))
        throw py::type_error("region must be a sequence (x, y, width, height), got " +
                             TypeName(region));
    const auto items = py::reinterpret_borrow<py::sequence>(region);
    if (items.size() != 4)
        throw py::value_error("region must have 4 values (x, y, width, height), got " +
                              std::to_string(items.size()));
    const long long x = RegionValue(items[0], "x");
    const long long y = RegionValue(items[1], "y");
    const long long width = RegionValue(items[2], "width");
    const long long height = RegionValue(items[3], "height");
    if (x < 0 || y < 0) throw py::value_error("region x and y must not be negative");
    if (width <= 0 || height <= 0)
        throw py::value_error("region width and height must be positive");
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
    constexpr std::uint32_t kMaxThreads = 64;
    if (threads < 1 || threads > kMaxThreads)
        throw py::value_error("threads must be between 1 and 64, got " + std::to_string(threads));
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

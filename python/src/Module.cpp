// The Python module `corvane`: the Network class and create(), on top of the
// functions of corvane.h.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Arguments.h"
#include "PyNetwork.h"
#include "common/NetworkHeader.h"
#include "common/WorkingDirectory.h"

namespace py = pybind11;

namespace {

// A square side or a (width, height) pair.
std::pair<int, int> SizeArgument(py::handle size) {
    if (py::isinstance<py::int_>(size) && !py::isinstance<py::bool_>(size)) {
        const int side = size.cast<int>();
        return {side, side};
    }
    if (py::isinstance<py::sequence>(size) && !py::isinstance<py::str>(size) &&
        py::len(size) == 2) {
        try {
            return size.cast<std::pair<int, int>>();
        } catch (const py::cast_error&) {
        }
    }
    throw py::type_error("size must be an int or a (width, height) pair of ints");
}

// The header of a new network; a bad size or name is a ValueError.
NetworkHeader NewHeader(py::handle size, const std::vector<std::string>& categories) {
    const std::pair<int, int> sides = SizeArgument(size);
    try {
        return NetworkHeader(sides.first, sides.second, categories);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
}

// Writes the header, then lets the library build the network with its
// initial weights and save it in full. A failed creation leaves no file.
void Create(const std::filesystem::path& folder, py::handle size,
            const std::vector<std::string>& categories, bool overwrite, std::uint32_t threads) {
    const NetworkHeader header = NewHeader(size, categories);
    CheckThreads(threads);

    const std::filesystem::path absolute = std::filesystem::absolute(folder);
    const std::filesystem::path file = absolute / "Network.data";
    std::filesystem::create_directories(absolute);
    if (!overwrite && std::filesystem::exists(file)) {
        PyErr_SetString(PyExc_FileExistsError,
                        (file.string() + " exists; pass overwrite=True to replace it").c_str());
        throw py::error_already_set();
    }

    py::gil_scoped_release unlocked;
    WorkingDirectory inside(absolute);
    header.Write(file);
    try {
        std::unique_ptr<NetHandle, decltype(&ReleaseCorvane)> handle(CreateCorvane(),
                                                                     &ReleaseCorvane);
        if (!handle) throw std::bad_alloc();
        RequireSuccess(LoadCorvane(handle.get(), threads), "LoadCorvane", absolute);
        RequireSuccess(SaveCorvane(handle.get()), "SaveCorvane", absolute);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        throw;
    }
}

}  // namespace

PYBIND11_MODULE(corvane, m) {
    m.doc() =
        "Small-image classifier with its own convolutional network, trained one sample at a "
        "time.\n\nEach network lives in the file Network.data of its own folder. Images are "
        "numpy uint8 arrays of shape (h, w) or (h, w, 3) in blue-green-red order.";

    py::class_<PyNetwork>(m, "Network",
                          "The network of folder/Network.data, loaded with `threads` workers "
                          "per pool. Use close() or a with-block to stop its workers.")
        .def(py::init<const std::filesystem::path&, std::uint32_t>(), py::arg("folder"),
             py::arg("threads") = 2)
        .def("predict", &PyNetwork::Predict, py::arg("image"), py::arg("region") = py::none(),
             "One float32 score per output for the image, or for region (x, y, width, "
             "height) of it.")
        .def("train", &PyNetwork::Train, py::arg("image"), py::arg("wanted"),
             py::arg("region") = py::none(),
             "One training step towards `wanted` (one value in [0, 1] per output); returns the "
             "mean absolute output error before the step.")
        .def("save", &PyNetwork::Save, "Writes the network back to folder/Network.data.")
        .def_property_readonly("categories", &PyNetwork::Categories,
                               "The category names, read from folder/Network.data now.")
        .def_property_readonly("output_count", &PyNetwork::outputCount,
                               "How many scores predict() returns.")
        .def_property_readonly("input_size", &PyNetwork::inputSize,
                               "The (width, height) the network works at.")
        .def_property("learning_rate", &PyNetwork::learningRate, &PyNetwork::setLearningRate,
                      "Learning rate of later train() calls, in (0, 1]; 0.0005 after loading.")
        .def_property_readonly("folder", &PyNetwork::folder)
        .def_property_readonly("closed", &PyNetwork::closed)
        .def("close", &PyNetwork::Close, py::call_guard<py::gil_scoped_release>(),
             "Unloads the network and stops its workers. Later calls raise RuntimeError.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyNetwork& self, py::args) {
            py::gil_scoped_release unlocked;
            self.Close();
        });

    // Networks still open at exit are closed before the interpreter goes away.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        py::gil_scoped_release unlocked;
        PyNetwork::CloseAll();
    }));

    m.def("create", &Create, py::arg("folder"), py::arg("size"), py::arg("categories"),
          py::arg("overwrite") = false, py::arg("threads") = 2,
          "Writes a new network to folder/Network.data: input size (an int or (width, "
          "height), multiples of 32), one output per category name, initial weights from the "
          "library. Refuses to replace an existing file unless overwrite is true.");
}

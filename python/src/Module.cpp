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
#include "FitRun.h"
#include "LibraryLog.h"
#include "Loaders.h"
#include "PyNetwork.h"
#include "common/NetworkBuilder.h"
#include "common/NetworkHeader.h"

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

// Lets the library build the network of the header with its initial
// weights and save it in full, beside an existing network, which is
// replaced only then: a size the library refuses leaves it as it was.
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
    LibraryLog::Unlocked([&] {
        NetworkBuilder::Build(absolute, header, [&] {
            std::unique_ptr<NetHandle, decltype(&ReleaseCorvane)> handle(CreateCorvane(),
                                                                         &ReleaseCorvane);
            if (!handle) throw std::bad_alloc();
            RequireSuccess(LoadCorvane(handle.get(), threads), "LoadCorvane", absolute);
            RequireSuccess(SaveCorvane(handle.get()), "SaveCorvane", absolute);
        });
    });
}

py::dict Fit(PyNetwork& network, py::handle images, py::handle labels, std::size_t epochs,
             std::uint32_t seed, bool shuffle, py::object validation, py::object callback,
             py::object learningRate, std::size_t every) {
    return FitRun(network, images, labels,
                  {epochs, seed, shuffle, std::move(validation), std::move(callback),
                   std::move(learningRate), every})
        .Run();
}

}  // namespace

PYBIND11_MODULE(corvane, m) {
    m.doc() =
        "Small-image classifier with its own convolutional network, trained one sample at a "
        "time.\n\n"
        "Each network lives in the file Network.data of its own folder: corvane.create() makes "
        "one, corvane.Network loads it. Images are numpy uint8 arrays, (h, w) grey or (h, w, 3) "
        "blue-green-red; a batch is an (n, h, w) or (n, h, w, 3) array or a list of images of "
        "any sizes. Labels are integer category indices.\n\n"
        "The library's own lines go to the logger 'corvane' (progress at DEBUG, failures at "
        "WARNING), never to standard output; nothing is shown unless logging is set up, e.g. "
        "logging.basicConfig(level=logging.DEBUG).";

    // A library says nothing unless its host sets up logging.
    py::module_::import("logging").attr("getLogger")("corvane").attr("addHandler")(
        py::module_::import("logging").attr("NullHandler")());

    py::class_<PyNetwork>(m, "Network",
                          "Network(folder, threads=2)\n\n"
                          "The network of folder/Network.data, loaded with `threads` workers per "
                          "pool (1 to 256; a network runs four pools). Use close() or a "
                          "with-block to stop its workers. Calls on one Network are serialised; "
                          "separate Networks run concurrently, the GIL released while they "
                          "compute.")
        .def(py::init<const std::filesystem::path&, std::uint32_t>(), py::arg("folder"),
             py::arg("threads") = 2)
        .def("predict", &PyNetwork::Predict, py::arg("images"), py::arg("region") = py::none(),
             "Scores as float32: shape (outputs,) for one image, (n, outputs) for a batch.\n\n"
             "images: one image, an (n, h, w) or (n, h, w, 3) array, or a list of images of "
             "any sizes (a grey image is never (h, w, 1) or (h, w, 4): such arrays are "
             "refused). region: None for the whole image, or (x, y, width, height), applied to "
             "every image. Bad arguments raise TypeError or ValueError before any work.")
        .def("train", &PyNetwork::Train, py::arg("image"), py::arg("wanted"),
             py::arg("region") = py::none(),
             "One training step towards `wanted` (one value in [0, 1] per output); returns the "
             "mean absolute output error before the step.")
        .def("fit", &Fit, py::arg("images"), py::arg("labels"), py::arg("epochs") = 1,
             py::arg("seed") = 0, py::arg("shuffle") = true, py::arg("validation") = py::none(),
             py::arg("callback") = py::none(), py::arg("learning_rate") = py::none(),
             py::arg("every") = 1000,
             "Trains on a batch of images with integer labels, one step per sample.\n\n"
             "The order comes from `seed` (the program's `train --seed` order): with shuffle, "
             "the samples are shuffled at the start of every epoch. validation: None, "
             "(images, labels), or a fraction of the samples drawn with the seed and never "
             "trained on; its accuracy is measured after every epoch. learning_rate: None "
             "keeps the network's rate, a number holds for the run, (first, last) falls "
             "geometrically from first to last, in steps every `every` samples. "
             "callback(epoch, samples_done, mean_loss) is called every `every` samples and at "
             "the end of each epoch (mean_loss: of the epoch so far). A progress bar goes to "
             "standard error when it is a terminal.\n\n"
             "Returns {'loss': [mean loss per epoch], 'val_accuracy': [per epoch], 'samples': "
             "steps done}. Ctrl-C stops after the current sample, with the network as trained "
             "so far: the KeyboardInterrupt (like any exception of the callback) carries that "
             "history as its `history` attribute. Nothing is saved; call save().")
        .def("evaluate", &PyNetwork::Evaluate, py::arg("images"), py::arg("labels"),
             "(accuracy, confusion): the share of images whose best score is their label, and "
             "an int64 array of counts, confusion[label, predicted].")
        .def("save", &PyNetwork::Save, "Writes the network back to folder/Network.data.")
        .def_property_readonly("categories", &PyNetwork::Categories,
                               "The category names, read from folder/Network.data now.")
        .def_property_readonly("output_count", &PyNetwork::outputCount,
                               "How many scores predict() returns per image.")
        .def_property_readonly("input_size", &PyNetwork::inputSize,
                               "The (width, height) the network works at.")
        .def_property("learning_rate", &PyNetwork::learningRate, &PyNetwork::setLearningRate,
                      "Learning rate of later training steps, in (0, 1]; 0.0005 after loading.")
        .def_property_readonly("folder", &PyNetwork::folder, "The network's folder, absolute.")
        .def_property_readonly("closed", &PyNetwork::closed, "Whether close() has run.")
        .def("close", &PyNetwork::Close,
             "Unloads the network and stops its workers. Later calls raise RuntimeError.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyNetwork& self, py::args) { self.Close(); });

    // Networks still open at exit are closed before the interpreter goes away.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { PyNetwork::CloseAll(); }));

    m.def("create", &Create, py::arg("folder"), py::arg("size"), py::arg("categories"),
          py::arg("overwrite") = false, py::arg("threads") = 2,
          "Writes a new network to folder/Network.data: input size (an int or (width, "
          "height), multiples of 32), one output per category name, initial weights from the "
          "library. Refuses to replace an existing file unless overwrite is true; the old "
          "network is replaced only once the new one is built and saved.");
    m.def("load_idx", &LoadIdx, py::arg("images"), py::arg("labels"),
          "(images, labels, categories) from an IDX image file and its label file, gzip or "
          "plain: images uint8 (n, h, w), labels int64, categories '0' up to the largest "
          "label.");
    m.def("load_folder", &LoadFolder, py::arg("path"),
          "(images, labels, categories) from a folder with one sub-folder of images per "
          "category: categories are the sorted sub-folder names, labels int64 indices into "
          "them, images one uint8 array (n, h, w[, 3]) when all share a shape and a list of "
          "arrays otherwise (grey or blue-green-red as the files hold them).");
}

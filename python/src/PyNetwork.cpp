#include "PyNetwork.h"

#include <stdexcept>

#include "Arguments.h"
#include "common/NetworkHeader.h"
#include "common/WorkingDirectory.h"

namespace py = pybind11;

namespace {

const char* const kFileName = "Network.data";

// The networks that exist, for CloseAll. Entered once loaded, left on destruction.
std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::set<PyNetwork*>& Registry() {
    static std::set<PyNetwork*> networks;
    return networks;
}

}  // namespace

void RequireSuccess(bool succeeded, const char* call, const std::filesystem::path& folder) {
    if (!succeeded)
        throw std::runtime_error(std::string(call) + " failed for " + folder.string() +
                                 " (the library's own lines on standard output say why)");
}

void PyNetwork::Releaser::operator()(NetHandle* handle) const { ReleaseCorvane(handle); }

PyNetwork::PyNetwork(const std::filesystem::path& folder, std::uint32_t threads)
    : folder_(std::filesystem::absolute(folder)) {
    CheckThreads(threads);
    if (!std::filesystem::is_regular_file(folder_ / kFileName))
        throw py::value_error("no " + std::string(kFileName) + " in " + folder_.string());

    py::gil_scoped_release unlocked;
    {
        WorkingDirectory inside(folder_);
        // The header is read under the same lock as the load, so both see one file.
        const NetworkHeader header = NetworkHeader::Read(kFileName);
        std::unique_ptr<NetHandle, Releaser> handle(CreateCorvane());
        if (!handle) throw std::bad_alloc();
        RequireSuccess(LoadCorvane(handle.get(), threads), "LoadCorvane", folder_);
        outputCount_ = static_cast<std::size_t>(header.OutputCount());
        width_ = header.Width();
        height_ = header.Height();
        handle_ = std::move(handle);
    }
    // Never while holding the directory lock: CloseAll takes the registry
    // first and each network's own mutex second.
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().insert(this);
}

PyNetwork::~PyNetwork() {
    // Joining the workers needs no Python, but other threads may: let them run.
    auto leave = [this] {
        {
            std::lock_guard<std::mutex> lock(RegistryMutex());
            Registry().erase(this);
        }
        Close();
    };
    if (PyGILState_Check()) {
        py::gil_scoped_release unlocked;
        leave();
    } else {
        leave();
    }
}

void PyNetwork::CloseAll() {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (PyNetwork* network : Registry()) network->Close();
}

NetHandle* PyNetwork::OpenHandle(const char* call) const {
    if (!handle_) throw std::runtime_error(std::string(call) + " on a closed corvane.Network");
    return handle_.get();
}

bool PyNetwork::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !handle_;
}

py::array_t<float> PyNetwork::Predict(py::handle image, py::handle region) {
    const py::array_t<std::uint8_t> pixels = CheckedImage(image);
    const Region area = CheckedRegion(region, pixels);
    py::array_t<float> scores(static_cast<py::ssize_t>(outputCount_));
    float* const out = scores.mutable_data();
    const cv::Mat view = ImageView(pixels);
    {
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        RequireSuccess(
            ::Predict(OpenHandle("predict"), &view, area.x, area.y, area.width, area.height, out),
            "Predict", folder_);
    }
    return scores;
}

float PyNetwork::Train(py::handle image, py::handle wanted, py::handle region) {
    const py::array_t<std::uint8_t> pixels = CheckedImage(image);
    const Region area = CheckedRegion(region, pixels);
    const py::array_t<float> targets = CheckedWanted(wanted, outputCount_);
    float loss = 0.0f;
    const cv::Mat view = ImageView(pixels);
    {
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        RequireSuccess(TrainOne(OpenHandle("train"), &view, area.x, area.y, area.width, area.height,
                                targets.data(), static_cast<std::int32_t>(outputCount_), &loss),
                       "TrainOne", folder_);
    }
    return loss;
}

float PyNetwork::learningRate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return learningRate_;
}

void PyNetwork::setLearningRate(float rate) {
    if (!(rate > 0.0f && rate <= 1.0f)) throw py::value_error("learning_rate must be in (0, 1]");
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(mutex_);
    RequireSuccess(SetLearningRate(OpenHandle("learning_rate"), rate), "SetLearningRate", folder_);
    learningRate_ = rate;
}

void PyNetwork::Save() {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(mutex_);
    NetHandle* const handle = OpenHandle("save");
    WorkingDirectory inside(folder_);
    RequireSuccess(SaveCorvane(handle), "SaveCorvane", folder_);
}

std::vector<std::string> PyNetwork::Categories() {
    std::vector<std::string> names;
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(mutex_);
    NetHandle* const handle = OpenHandle("categories");
    WorkingDirectory inside(folder_);
    std::uint32_t count = 0;
    RequireSuccess(CategoryCount(handle, &count), "CategoryCount", folder_);
    // No name can be longer than the file that holds it; we hold the lock,
    // so this process does not rewrite the file in between.
    std::vector<char> name(std::filesystem::file_size(kFileName) + 1);
    for (std::uint32_t i = 0; i < count; ++i) {
        RequireSuccess(GetCategory(handle, static_cast<std::int32_t>(i), name.data()),
                       "GetCategory", folder_);
        names.emplace_back(name.data());
    }
    return names;
}

void PyNetwork::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    handle_.reset();
}

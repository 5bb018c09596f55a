#include "PyNetwork.h"

#include <algorithm>
#include <stdexcept>

#include "Arguments.h"
#include "LibraryLog.h"
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
                                 " (the library's own lines, logged to \"corvane\", say why)");
}

void PyNetwork::Releaser::operator()(NetHandle* handle) const { ReleaseCorvane(handle); }

PyNetwork::PyNetwork(const std::filesystem::path& folder, std::uint32_t threads)
    : folder_(std::filesystem::absolute(folder)) {
    CheckThreads(threads);
    if (!std::filesystem::is_regular_file(folder_ / kFileName))
        throw py::value_error("no " + std::string(kFileName) + " in " + folder_.string());

    LibraryLog::Unlocked([&] {
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
    });
}

PyNetwork::~PyNetwork() {
    auto leave = [this] {
        {
            std::lock_guard<std::mutex> lock(RegistryMutex());
            Registry().erase(this);
        }
        Unload();
    };
    // Joining the workers needs no Python, but other threads may: let them run.
    if (PyGILState_Check()) {
        LibraryLog::Unlocked(leave);
    } else {
        const LibraryLog::Capture capture;
        leave();
    }
}

void PyNetwork::CloseAll() {
    LibraryLog::Unlocked([] {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        for (PyNetwork* network : Registry()) network->Unload();
    });
}

NetHandle* PyNetwork::OpenHandle(const char* call) const {
    if (!handle_) throw std::runtime_error(std::string(call) + " on a closed corvane.Network");
    return handle_.get();
}

bool PyNetwork::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !handle_;
}

py::array PyNetwork::Predict(py::handle images, py::handle region) {
    const ImageBatch batch = CheckedImages(images);
    const RegionRequest request = CheckedRegion(region);
    std::vector<Region> regions;
    for (const cv::Mat& view : batch.views) regions.push_back(RegionIn(request, view));
    const auto rows = static_cast<py::ssize_t>(batch.views.size());
    const auto outputs = static_cast<py::ssize_t>(outputCount_);
    py::array_t<float> scores =
        batch.single ? py::array_t<float>(outputs) : py::array_t<float>({rows, outputs});
    Score(batch.views, regions, scores.mutable_data());
    return std::move(scores);
}

void PyNetwork::Score(const std::vector<cv::Mat>& images, const std::vector<Region>& regions,
                      float* rows) {
    LibraryLog::Unlocked([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        NetHandle* const handle = OpenHandle("predict");
        for (std::size_t i = 0; i < images.size(); ++i) {
            const Region& area = regions[i];
            if (!::Predict(handle, &images[i], area.x, area.y, area.width, area.height,
                           rows + i * outputCount_))
                RequireSuccess(false, ("Predict of image " + std::to_string(i)).c_str(), folder_);
        }
    });
}

PyNetwork::Tally PyNetwork::Confusion(const std::vector<cv::Mat>& images,
                                      const std::vector<std::size_t>& labels) {
    std::vector<Region> whole;
    for (const cv::Mat& image : images) whole.push_back(RegionIn(RegionRequest(), image));
    std::vector<float> scores(images.size() * outputCount_);
    Score(images, whole, scores.data());
    Tally tally;
    tally.counts.assign(outputCount_ * outputCount_, 0);
    std::size_t right = 0;
    for (std::size_t i = 0; i < images.size(); ++i) {
        const float* const row = scores.data() + i * outputCount_;
        // The first of equal best scores wins, as in the program's evaluation.
        const auto best = static_cast<std::size_t>(std::max_element(row, row + outputCount_) - row);
        ++tally.counts[labels[i] * outputCount_ + best];
        right += best == labels[i] ? 1 : 0;
    }
    tally.accuracy = static_cast<double>(right) / static_cast<double>(images.size());
    return tally;
}

py::tuple PyNetwork::Evaluate(py::handle images, py::handle labels) {
    const ImageBatch batch = CheckedImages(images);
    const std::vector<std::size_t> checked =
        CheckedLabels(labels, batch.views.size(), outputCount_);
    if (checked.empty()) throw py::value_error("no images to evaluate");
    const Tally tally = Confusion(batch.views, checked);
    const auto side = static_cast<py::ssize_t>(outputCount_);
    py::array_t<std::int64_t> matrix({side, side});
    std::copy(tally.counts.begin(), tally.counts.end(), matrix.mutable_data());
    return py::make_tuple(tally.accuracy, matrix);
}

float PyNetwork::Train(py::handle image, py::handle wanted, py::handle region) {
    const py::array_t<std::uint8_t> pixels = CheckedImage(image, "image");
    const cv::Mat view = ImageView(pixels);
    const Region area = RegionIn(CheckedRegion(region), view);
    const py::array_t<float> targets = CheckedWanted(wanted, outputCount_);
    return LibraryLog::Unlocked([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        float loss = 0.0f;
        RequireSuccess(TrainOne(OpenHandle("train"), &view, area.x, area.y, area.width, area.height,
                                targets.data(), static_cast<std::int32_t>(outputCount_), &loss),
                       "TrainOne", folder_);
        return loss;
    });
}

float PyNetwork::Step(const cv::Mat& image, const std::vector<float>& wanted, float rate) {
    return LibraryLog::Unlocked([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        NetHandle* const handle = OpenHandle("fit");
        if (rate > 0.0f) ApplyRate(handle, rate);
        float loss = 0.0f;
        RequireSuccess(TrainOne(handle, &image, 0, 0, static_cast<std::uint32_t>(image.cols),
                                static_cast<std::uint32_t>(image.rows), wanted.data(),
                                static_cast<std::int32_t>(wanted.size()), &loss),
                       "TrainOne", folder_);
        return loss;
    });
}

float PyNetwork::learningRate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return learningRate_;
}

void PyNetwork::setLearningRate(float rate) {
    if (!(rate > 0.0f && rate <= 1.0f)) throw py::value_error("learning_rate must be in (0, 1]");
    LibraryLog::Unlocked([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        ApplyRate(OpenHandle("learning_rate"), rate);
    });
}

void PyNetwork::ApplyRate(NetHandle* handle, float rate) {
    RequireSuccess(SetLearningRate(handle, rate), "SetLearningRate", folder_);
    learningRate_ = rate;
}

void PyNetwork::Save() {
    LibraryLog::Unlocked([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        NetHandle* const handle = OpenHandle("save");
        WorkingDirectory inside(folder_);
        RequireSuccess(SaveCorvane(handle), "SaveCorvane", folder_);
    });
}

std::vector<std::string> PyNetwork::Categories() {
    return LibraryLog::Unlocked([&] {
        std::vector<std::string> names;
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
    });
}

void PyNetwork::Close() {
    LibraryLog::Unlocked([this] { Unload(); });
}

void PyNetwork::Unload() {
    std::lock_guard<std::mutex> lock(mutex_);
    handle_.reset();
}

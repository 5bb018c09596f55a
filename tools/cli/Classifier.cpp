#include "cli/Classifier.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "cli/LibraryTranscript.h"
#include "cli/Scores.h"
#include "common/NetworkHeader.h"
#include "corvane.h"

namespace {

const char* const kNetworkFile = "Network.data";

// Runs one library call with its lines kept back: they go on to std::cout
// when it works and are returned when it fails.
template <typename Call>
std::optional<std::string> Failure(Call call) {
    LibraryTranscript transcript;
    const bool worked = call();
    const std::string said = transcript.Stop();
    if (!worked) return said;
    std::cout << said << std::flush;
    return std::nullopt;
}

std::string Reason(const std::string& said) {
    const std::string line = LibraryTranscript::FirstLine(said);
    return line.empty() ? "the library gave no reason" : line;
}

// The count of the library's "Weights loaded:" line, if it printed one.
std::optional<unsigned long long> WeightsLoaded(const std::string& said) {
    const std::string label = "Weights loaded:";
    const std::size_t at = said.find(label);
    if (at == std::string::npos) return std::nullopt;
    try {
        return std::stoull(said.substr(at + label.size()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

Classifier::Classifier(std::string name) : handle_(nullptr), name_(std::move(name)) {
    if (!std::filesystem::is_regular_file(kNetworkFile)) {
        throw std::runtime_error("no network in " + std::filesystem::current_path().string() +
                                 " (no Network.data; corvane init creates one)");
    }
    handle_ = CreateCorvane();
    if (handle_ == nullptr) throw std::runtime_error("CreateCorvane failed");
}

Classifier::~Classifier() {
    // While an error is on its way out, the workers' farewell lines would
    // only bury its one line.
    std::optional<LibraryTranscript> farewells;
    if (std::uncaught_exceptions() > 0) farewells.emplace();
    ReleaseCorvane(handle_);
}

std::vector<std::string> Classifier::Categories() {
    std::uint32_t count = 0;
    if (const auto said = Failure([&] { return CategoryCount(handle_, &count); })) {
        throw std::runtime_error("cannot read the categories of " + name_ + ": " + Reason(*said));
    }
    // GetCategory needs room for the longest name; no name is longer than the file.
    std::error_code error;
    const auto fileSize = std::filesystem::file_size(kNetworkFile, error);
    std::vector<char> buffer(error ? 1 << 16 : static_cast<std::size_t>(fileSize) + 1);
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (Failure([&] {
                return GetCategory(handle_, static_cast<std::int32_t>(i), buffer.data());
            })) {
            throw std::runtime_error("cannot read category " + std::to_string(i) + " of " + name_);
        }
        names.emplace_back(buffer.data());
    }
    return names;
}

void Classifier::Load(unsigned threads, bool allowIncomplete) {
    const std::vector<std::string> names = Categories();
    const NetworkHeader header = NetworkHeader::Read(kNetworkFile);
    if (header.OutputCount() != static_cast<int>(names.size())) {
        throw std::runtime_error(name_ + " declares " + std::to_string(header.OutputCount()) +
                                 " outputs but names " + std::to_string(names.size()) +
                                 " categories");
    }
    LibraryTranscript transcript;
    const bool loaded = LoadCorvane(handle_, threads);
    const std::string said = transcript.Stop();
    if (!loaded) throw std::runtime_error("cannot load " + name_ + ": " + Reason(said));
    const std::optional<unsigned long long> found = WeightsLoaded(said);
    if (!allowIncomplete && found != header.WeightCount()) {
        throw std::runtime_error(
            name_ + " holds " + (found ? std::to_string(*found) : "an unknown number") +
            " of the " + std::to_string(header.WeightCount()) + " weights its " +
            std::to_string(header.Width()) + "x" + std::to_string(header.Height()) +
            " network with " + std::to_string(names.size()) +
            " outputs has (cut short?); --allow-incomplete uses it anyway");
    }
    std::cout << said << std::flush;
    outputs_ = names.size();
    width_ = header.Width();
    height_ = header.Height();
}

void Classifier::Save() {
    if (const auto said = Failure([&] { return SaveCorvane(handle_); })) {
        throw std::runtime_error("cannot save " + name_ + ": " + Reason(*said));
    }
}

void Classifier::SetLearningRate(float rate) {
    if (const auto said = Failure([&] { return ::SetLearningRate(handle_, rate); })) {
        throw std::runtime_error("the library refused the learning rate " + std::to_string(rate) +
                                 ": " + Reason(*said));
    }
}

std::vector<float> Classifier::Predict(const cv::Mat& image, const Region& region) {
    if (outputs_ == 0) throw std::logic_error("Predict before Load");
    std::vector<float> scores(outputs_);
    if (const auto said = Failure([&] {
            return ::Predict(handle_, &image, region.x, region.y, region.width, region.height,
                             scores.data());
        })) {
        throw std::runtime_error(Refusal(region, *said));
    }
    return scores;
}

float Classifier::Train(const cv::Mat& image, const Region& region,
                        const std::vector<float>& wanted) {
    float loss = 0.0f;
    if (const auto said = Failure([&] {
            return TrainOne(handle_, &image, region.x, region.y, region.width, region.height,
                            wanted.data(), static_cast<std::int32_t>(wanted.size()), &loss);
        })) {
        throw std::runtime_error(Refusal(region, *said));
    }
    return loss;
}

std::string Classifier::Refusal(const Region& region, const std::string& said) const {
    // The library fits the image into its input keeping the aspect ratio and
    // needs a few pixels each way of what remains.
    constexpr int kFewestPixels = 5;
    const double scale = std::min(static_cast<double>(width_) / region.width,
                                  static_cast<double>(height_) / region.height);
    const int across = static_cast<int>(std::min(region.width * scale, region.height * scale));
    if (across < kFewestPixels) {
        return "too thin for the network: " + std::to_string(region.width) + "x" +
               std::to_string(region.height) + " pixels leave under " +
               std::to_string(kFewestPixels) + " pixels across in its " + std::to_string(width_) +
               "x" + std::to_string(height_) + " input";
    }
    return "the library refused it: " + Reason(said);
}

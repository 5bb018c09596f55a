#include "cli/Classifier.h"

#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "cli/Scores.h"
#include "common/NetworkHeader.h"
#include "corvane.h"

namespace {

const char* const kNetworkFile = "Network.data";

}  // namespace

Classifier::Classifier() : handle_(CreateCorvane()) {
    if (handle_ == nullptr) throw std::runtime_error("CreateCorvane failed");
}

Classifier::~Classifier() { ReleaseCorvane(handle_); }

std::vector<std::string> Classifier::Categories() {
    std::uint32_t count = 0;
    if (!CategoryCount(handle_, &count)) {
        throw std::runtime_error("cannot read the categories of " +
                                 std::filesystem::absolute(kNetworkFile).string());
    }
    // GetCategory needs room for the longest name; no name is longer than the file.
    std::error_code error;
    const auto fileSize = std::filesystem::file_size(kNetworkFile, error);
    std::vector<char> buffer(error ? 1 << 16 : static_cast<std::size_t>(fileSize) + 1);
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!GetCategory(handle_, static_cast<std::int32_t>(i), buffer.data())) {
            throw std::runtime_error("GetCategory failed for category " + std::to_string(i));
        }
        names.emplace_back(buffer.data());
    }
    return names;
}

void Classifier::Load(unsigned threads) {
    const std::vector<std::string> names = Categories();
    const int outputs = NetworkHeader::Read(kNetworkFile).OutputCount();
    if (outputs != static_cast<int>(names.size())) {
        throw std::runtime_error(std::filesystem::absolute(kNetworkFile).string() + " declares " +
                                 std::to_string(outputs) + " outputs but names " +
                                 std::to_string(names.size()) + " categories");
    }
    if (!LoadCorvane(handle_, threads)) {
        // The library's failure line has no line end of its own.
        std::cout << std::endl;
        throw std::runtime_error("LoadCorvane failed on " +
                                 std::filesystem::absolute(kNetworkFile).string());
    }
    outputs_ = names.size();
}

void Classifier::Save() {
    if (!SaveCorvane(handle_)) {
        throw std::runtime_error("SaveCorvane failed to write " +
                                 std::filesystem::absolute(kNetworkFile).string());
    }
}

void Classifier::SetLearningRate(float rate) {
    if (!::SetLearningRate(handle_, rate)) {
        throw std::runtime_error("SetLearningRate refused the rate " + std::to_string(rate));
    }
}

std::vector<float> Classifier::Predict(const cv::Mat& image, const Region& region) {
    std::vector<float> scores(outputs_);
    if (outputs_ == 0 || !::Predict(handle_, &image, region.x, region.y, region.width,
                                    region.height, scores.data())) {
        throw std::runtime_error("Predict failed");
    }
    return scores;
}

double Classifier::Accuracy(const DataSet& data, const std::vector<std::size_t>& samples) {
    std::size_t right = 0;
    for (const std::size_t index : samples) {
        const cv::Mat image = data.Image(index);
        const std::vector<float> scores = Predict(image, Region::Whole(image));
        if (Scores::Top(scores, 1).front() == data.Label(index)) ++right;
    }
    return samples.empty() ? 0.0 : static_cast<double>(right) / static_cast<double>(samples.size());
}

float Classifier::Train(const cv::Mat& image, const Region& region,
                        const std::vector<float>& wanted) {
    float loss = 0.0f;
    if (!TrainOne(handle_, &image, region.x, region.y, region.width, region.height, wanted.data(),
                  static_cast<std::int32_t>(wanted.size()), &loss)) {
        throw std::runtime_error("TrainOne failed");
    }
    return loss;
}

#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Arguments.h"
#include "corvane.h"

// corvane.Network: one loaded network of a folder, driven only through the
// functions of corvane.h. Owns one library handle from construction until
// Close (or destruction). Calls on one object are serialised by its own
// mutex, so Python threads may share an object; separate objects run their
// predictions and training steps concurrently. Calls that read or write
// "Network.data" run inside the network's folder (see WorkingDirectory). The GIL is
// released for every library call, and what the library says during it goes
// to Python's logging (LibraryLog).
class PyNetwork {
  public:
    // Loads folder/Network.data with `threads` workers per pool.
    PyNetwork(const std::filesystem::path& folder, std::uint32_t threads);
    ~PyNetwork();

    PyNetwork(const PyNetwork&) = delete;
    PyNetwork& operator=(const PyNetwork&) = delete;

    // One float32 score per output for one image (shape (outputs,)) or for
    // each image of a batch (shape (n, outputs)); see CheckedImages. The GIL
    // is released for the whole batch; the region applies to every image.
    pybind11::array Predict(pybind11::handle images, pybind11::handle region);
    // One training step; returns the mean absolute output error before it.
    float Train(pybind11::handle image, pybind11::handle wanted, pybind11::handle region);
    // (accuracy, confusion): the share of images whose best score is their
    // label, and an int64 matrix of counts, true label by predicted category.
    pybind11::tuple Evaluate(pybind11::handle images, pybind11::handle labels);

    // What Predict, Evaluate and fit share; all need the GIL on entry.
    // Fills one row of outputCount() scores per image.
    void Score(const std::vector<cv::Mat>& images, const std::vector<Region>& regions, float* rows);
    // Counts of (label, best-scoring category) over the images, row-major,
    // and the share of them on the diagonal.
    struct Tally {
        std::vector<std::int64_t> counts;
        double accuracy = 0.0;
    };
    Tally Confusion(const std::vector<cv::Mat>& images, const std::vector<std::size_t>& labels);
    // One training step on the whole image towards `wanted`, at `rate` first
    // when it is above 0.
    float Step(const cv::Mat& image, const std::vector<float>& wanted, float rate);

    // Writes the network back to folder/Network.data.
    void Save();
    // The category names as the file holds them now.
    std::vector<std::string> Categories();
    // The learning rate of later train() calls: the library's 0.0005 after
    // loading. A rate outside (0, 1] raises ValueError.
    float learningRate() const;
    void setLearningRate(float rate);
    // Unloads the network and joins its workers; idempotent. Needs the GIL.
    void Close();

    // Closes every network still open; the module runs it when the
    // interpreter exits, so no worker outlives it. Needs the GIL.
    static void CloseAll();

    bool closed() const;
    std::size_t outputCount() const { return outputCount_; }
    std::pair<int, int> inputSize() const { return {width_, height_}; }
    const std::filesystem::path& folder() const { return folder_; }

  private:
    struct Releaser {
        void operator()(NetHandle* handle) const;
    };

    // The open handle; throws std::runtime_error once closed. Needs mutex_.
    NetHandle* OpenHandle(const char* call) const;
    // Unloads without the GIL; idempotent.
    void Unload();
    // SetLearningRate; needs mutex_.
    void ApplyRate(NetHandle* handle, float rate);

    const std::filesystem::path folder_;
    std::size_t outputCount_ = 0;
    int width_ = 0;
    int height_ = 0;
    float learningRate_ = 0.0005f;  // what the library was last given; needs mutex_
    mutable std::mutex mutex_;      // one library call on the handle at a time
    std::unique_ptr<NetHandle, Releaser> handle_;
};

// Raises std::runtime_error naming the library function that failed.
void RequireSuccess(bool succeeded, const char* call, const std::filesystem::path& folder);

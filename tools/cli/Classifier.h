#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "cli/Region.h"
#include "common/DataSet.h"

struct NetHandle;

// Owns one library handle and turns the library's false results into
// exceptions that say which call failed. Works on "Network.data" in the
// current directory, like the library itself.
class Classifier {
  public:
    Classifier();  // throws std::runtime_error when no handle can be had
    ~Classifier();
    Classifier(const Classifier&) = delete;
    Classifier& operator=(const Classifier&) = delete;

    // The category names in the network file; works without Load.
    std::vector<std::string> Categories();

    // Builds the network with threads workers per pool. Refuses a file whose
    // output count differs from its number of names, since Predict writes one
    // score per output into a buffer sized by the names.
    void Load(unsigned threads);
    void Save();

    // The learning rate of every later Train call, until the next Load.
    void SetLearningRate(float rate);

    // One score per category.
    std::vector<float> Predict(const cv::Mat& image, const Region& region);
    // The share of `samples` of `data` whose best score is their own category.
    double Accuracy(const DataSet& data, const std::vector<std::size_t>& samples);
    // One training step; returns the mean absolute output error before it.
    float Train(const cv::Mat& image, const Region& region, const std::vector<float>& wanted);

  private:
    NetHandle* handle_;
    std::size_t outputs_ = 0;
};

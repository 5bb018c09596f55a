#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "cli/Region.h"
#include "common/DataSet.h"

struct NetHandle;

// Owns one library handle on "Network.data" in the current directory, like
// the library itself, and turns the library's false results into exceptions
// that say in one line what went wrong. What the library prints during a
// call that fails becomes part of that line instead of extra lines; what it
// prints during a call that works goes on to std::cout.
class Classifier {
  public:
    // name: how messages call the network. Throws std::runtime_error,
    // suggesting `corvane init`, when there is no "Network.data" here.
    explicit Classifier(std::string name);
    ~Classifier();
    Classifier(const Classifier&) = delete;
    Classifier& operator=(const Classifier&) = delete;

    // The category names in the network file; works without Load.
    std::vector<std::string> Categories();

    // Builds the network with threads workers per pool. Refuses a file whose
    // output count differs from its number of names, since Predict writes one
    // score per output into a buffer sized by the names; and, unless
    // allowIncomplete, a file that holds fewer weights than its header
    // implies (the library keeps fresh weights where values are missing).
    void Load(unsigned threads, bool allowIncomplete);
    void Save();

    // The learning rate of every later Train call, until the next Load.
    void SetLearningRate(float rate);

    // One score per category. Throws std::runtime_error saying why the
    // library refused the image.
    std::vector<float> Predict(const cv::Mat& image, const Region& region);
    // One training step; returns the mean absolute output error before it.
    float Train(const cv::Mat& image, const Region& region, const std::vector<float>& wanted);

  private:
    // Why the library refused an image, in plain words where they are known.
    std::string Refusal(const Region& region, const std::string& said) const;

    NetHandle* handle_;
    std::string name_;
    std::size_t outputs_ = 0;
    int width_ = 0;
    int height_ = 0;
};

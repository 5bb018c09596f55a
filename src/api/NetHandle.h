#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "network/Network.h"

// The object behind a host's handle: the loaded input size, the engine and
// the two per-call work matrices, made at load time and overwritten by every
// Predict and TrainOne (so the handle holds the image and mask of its last
// call). Used by one host thread at a time.
struct NetHandle {
    // Loads "Network.data" and makes the work matrices at its input size. A
    // load that fails leaves the network unloaded (no pools running).
    void Load(unsigned threadCount);
    void AllocateWorkImages();
    // The prediction sequence: one score per output.
    std::vector<float> Predict(const cv::Mat& image, cv::Rect region);
    // The training sequence: the mean absolute output error before the step.
    float Train(const cv::Mat& image, cv::Rect region, const std::vector<float>& wanted);

    int inputWidth = 0;
    int inputHeight = 0;
    Network network;
    cv::Mat workImage;  // CV_32FC3, inputHeight x inputWidth
    cv::Mat workMask;   // CV_32FC1, same size

  private:
    // Clears the work matrices and turns the region into the network input and its mask.
    void PrepareWork(const cv::Mat& image, cv::Rect region);
};

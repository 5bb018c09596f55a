#pragma once

#include <opencv2/core.hpp>

#include "network/Network.h"

// The object behind a host's handle: the loaded input size, the engine and
// the two per-call work matrices (made at load time, overwritten by every
// Predict and TrainOne).
struct NetHandle {
    int inputWidth = 0;
    int inputHeight = 0;
    Network network;
    cv::Mat workImage;  // CV_32FC3, inputHeight x inputWidth
    cv::Mat workMask;   // CV_32FC1, same size
};

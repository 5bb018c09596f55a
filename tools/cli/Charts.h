#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "cli/ConfusionMatrix.h"

// The pictures the CLI leaves next to the network, as 8-bit BGR images.
class Charts {
  public:
    // Colour of the loss curve, so tests can find it.
    static const cv::Scalar kCurveColour;

    // Mean loss per epoch: axes from 0 to a bit above the largest loss, one
    // point per epoch joined by a line, and labelled axes.
    static cv::Mat LossCurve(const std::vector<double>& meanLosses);

    // One cell per (actual, predicted) pair, coloured by the share of the
    // actual category's samples it holds, with the count written in it.
    static cv::Mat ConfusionHeatMap(const ConfusionMatrix& matrix,
                                    const std::vector<std::string>& names);

    // Writes a PNG; throws std::runtime_error naming the file on failure.
    static void Save(const std::string& file, const cv::Mat& image);
};

#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "cli/ConfusionMatrix.h"
#include "cli/LossLog.h"

// The pictures the CLI leaves next to the network, as 8-bit BGR images.
class Charts {
  public:
    // Colour of the first curve of a chart, so tests can find it.
    static const cv::Scalar kCurveColour;

    // One named line of a chart: (x, y) points in order of x.
    struct Series {
        std::string name;
        std::vector<cv::Point2d> points;
    };

    // Curves against the samples seen, each in its own colour and named in
    // a legend beside the plot, on a grid from 0 to the largest x and from
    // yMin to yMax.
    // Every point is marked, so a curve of one point still shows.
    static cv::Mat LineChart(const std::string& title, const std::vector<Series>& series,
                             double yMin, double yMax);

    // Accuracies (shares from 0 to 1) against the samples seen, shown in
    // percent on a scale that fits them to the nearest 5 %.
    static cv::Mat AccuracyChart(const std::string& title, const std::vector<Series>& series);

    // The mean training loss of the last runs of a history against the
    // samples seen in each run; below it, when any of them validated, the
    // validation accuracy at the end of each epoch.
    static cv::Mat LossCurve(const LossLog& log);

    // One cell per (actual, predicted) pair, coloured by the share of the
    // actual category's samples it holds, with the count written in it.
    static cv::Mat ConfusionHeatMap(const ConfusionMatrix& matrix,
                                    const std::vector<std::string>& names);

    // Writes a PNG; throws std::runtime_error naming the file on failure.
    static void Save(const std::string& file, const cv::Mat& image);
};

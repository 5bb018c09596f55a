#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <sstream>
#include <vector>

#include "Arguments.h"
#include "common/ProgressDisplay.h"
#include "common/RateSchedule.h"
#include "common/SampleOrder.h"

class PyNetwork;

// One run of Network.fit: epochs of training steps over labelled images,
// one sample at a time, in the order the program's `train --seed` uses
// (SampleOrder): a validation fraction is drawn first, then the training
// samples are shuffled at the start of every epoch. Every argument is
// checked on construction, before any step, so a refused call changes
// nothing. Between steps the run holds the GIL: it looks for Ctrl-C, calls
// the progress callback and draws the progress bar; each step releases it.
class FitRun {
  public:
    struct Options {
        std::size_t epochs = 1;
        std::uint32_t seed = 0;
        bool shuffle = true;
        pybind11::object validation;    // None, (images, labels) or a fraction
        pybind11::object callback;      // None or callback(epoch, done, mean_loss)
        pybind11::object learningRate;  // None, a rate, or (first, last)
        std::size_t every = 1000;       // samples between callbacks and rate steps
    };

    FitRun(PyNetwork& network, pybind11::handle images, pybind11::handle labels,
           const Options& options);

    // Trains and returns the history {"loss": [mean per epoch], "val_accuracy":
    // [per epoch, when validating], "samples": steps done}. Ctrl-C or an
    // exception of the callback stops it after the current step; the
    // exception goes on with the history so far as its `history` attribute.
    pybind11::dict Run();

  private:
    // Trains epoch epoch_; returns its mean loss.
    double Epoch(pybind11::dict& history);
    double MeanLoss() const;  // of the current epoch so far
    // Redraws the progress bar, or ends its line.
    void ShowBar(bool finish);

    PyNetwork& network_;
    ImageBatch images_;
    std::vector<std::size_t> labels_;
    std::vector<std::size_t> training_;  // indices into images_
    ImageBatch validationImages_;        // when given apart from the training images
    std::vector<cv::Mat> checkViews_;
    std::vector<std::size_t> checkLabels_;
    Options options_;
    SampleOrder order_;
    RateSchedule schedule_;
    std::size_t epoch_ = 1;  // counted from 1
    std::size_t epochDone_ = 0;
    std::size_t done_ = 0;  // steps of the whole run
    double lossSum_ = 0.0;  // of the current epoch
    std::ostringstream bar_;
    std::optional<ProgressDisplay> progress_;  // into bar_, when standard error is a terminal
    std::chrono::steady_clock::time_point start_;
};

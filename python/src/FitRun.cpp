#include "FitRun.h"

#include <string>

#include "PyNetwork.h"

namespace py = pybind11;

namespace {

using Clock = std::chrono::steady_clock;

// A rate in (0, 1], as the library takes it.
double CheckedRate(py::handle value) {
    const double rate = value.cast<double>();
    if (!(rate > 0.0 && rate <= 1.0))
        throw py::value_error("learning rates must be in (0, 1], got " + std::to_string(rate));
    return rate;
}

// None keeps the network's rate (0 tells RateSchedule to set none); a rate
// holds for the run; (first, last) falls geometrically over it.
RateSchedule Schedule(py::handle rate, std::size_t total, std::size_t every) {
    if (rate.is_none()) return RateSchedule(0.0, 0.0, total, every);
    if (py::isinstance<py::tuple>(rate) || py::isinstance<py::list>(rate)) {
        const auto pair = py::reinterpret_borrow<py::sequence>(rate);
        if (pair.size() != 2)
            throw py::value_error("learning_rate must be a rate or a (first, last) pair");
        return RateSchedule(CheckedRate(pair[0]), CheckedRate(pair[1]), total, every);
    }
    const double fixed = CheckedRate(rate);
    return RateSchedule(fixed, fixed, total, every);
}

}  // namespace

FitRun::FitRun(PyNetwork& network, py::handle images, py::handle labels, const Options& options)
    : network_(network),
      images_(CheckedImages(images)),
      labels_(CheckedLabels(labels, images_.views.size(), network.outputCount())),
      options_(options),
      order_(options.seed),
      schedule_(0.0, 0.0, 0, 1) {
    if (options_.epochs < 1) throw py::value_error("epochs must be at least 1");
    if (options_.every < 1) throw py::value_error("every must be at least 1");
    if (!options_.callback.is_none() && !PyCallable_Check(options_.callback.ptr()))
        throw py::type_error("callback must be callable");
    training_ = order_.Pick(labels_.size(), 0);

    const py::handle validation = options_.validation;
    if (py::isinstance<py::float_>(validation)) {
        // Drawn with the seed and never trained on, like the program's --validate.
        const double share = validation.cast<double>();
        const auto count =
            static_cast<std::size_t>(share * static_cast<double>(labels_.size()) + 0.5);
        if (!(share > 0.0 && share < 1.0) || count == 0 || count >= labels_.size())
            throw py::value_error("validation fraction " + std::to_string(share) + " of " +
                                  std::to_string(labels_.size()) +
                                  " samples leaves no validation or no training samples");
        order_.Shuffle(training_);
        for (std::size_t i = 0; i < count; ++i) {
            checkViews_.push_back(images_.views[training_[i]]);
            checkLabels_.push_back(labels_[training_[i]]);
        }
        training_.erase(training_.begin(), training_.begin() + static_cast<long>(count));
    } else if (py::isinstance<py::tuple>(validation) && py::len(validation) == 2) {
        const auto pair = py::reinterpret_borrow<py::tuple>(validation);
        validationImages_ = CheckedImages(pair[0]);
        checkViews_ = validationImages_.views;
        checkLabels_ = CheckedLabels(pair[1], checkViews_.size(), network.outputCount());
        if (checkViews_.empty()) throw py::value_error("no validation images");
    } else if (!validation.is_none()) {
        throw py::type_error("validation must be None, (images, labels) or a fraction");
    }
    if (training_.empty()) throw py::value_error("no images to train on");
    schedule_ = Schedule(options_.learningRate, training_.size() * options_.epochs, options_.every);

    bool terminal = false;
    try {
        terminal = py::module_::import("sys").attr("stderr").attr("isatty")().cast<bool>();
    } catch (const py::error_already_set&) {
        // A replaced stderr without isatty is no terminal.
    }
    if (terminal) progress_.emplace(bar_, true);
}

py::dict FitRun::Run() {
    py::dict history;
    history["loss"] = py::list();
    history["val_accuracy"] = py::list();
    history["samples"] = 0;
    start_ = Clock::now();
    try {
        for (epoch_ = 1; epoch_ <= options_.epochs; ++epoch_) {
            const double loss = Epoch(history);
            history["loss"].cast<py::list>().append(loss);
            if (!checkViews_.empty()) {
                history["val_accuracy"].cast<py::list>().append(
                    network_.Confusion(checkViews_, checkLabels_).accuracy);
            }
        }
    } catch (py::error_already_set& error) {
        if (progress_) ShowBar(true);
        try {
            error.value().attr("history") = history;
        } catch (const py::error_already_set&) {
            // An exception that takes no attributes goes on without it.
        }
        throw;
    } catch (...) {
        if (progress_) ShowBar(true);
        throw;
    }
    return history;
}

double FitRun::Epoch(py::dict& history) {
    if (options_.shuffle) order_.Shuffle(training_);
    lossSum_ = 0.0;
    epochDone_ = 0;
    std::vector<float> wanted(network_.outputCount(), 0.0f);
    for (const std::size_t index : training_) {
        // Ctrl-C lands here, between two steps, with the network whole.
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        const float rate =
            schedule_.ChangesAt(done_) ? static_cast<float>(schedule_.At(done_)) : 0.0f;
        wanted[labels_[index]] = 1.0f;
        const float loss = network_.Step(images_.views[index], wanted, rate);
        wanted[labels_[index]] = 0.0f;
        lossSum_ += loss;
        ++epochDone_;
        ++done_;
        history["samples"] = done_;
        const bool epochEnd = epochDone_ == training_.size();
        if (!options_.callback.is_none() && (done_ % options_.every == 0 || epochEnd))
            options_.callback(epoch_, done_, MeanLoss());
        if (progress_) ShowBar(epochEnd);
    }
    return MeanLoss();
}

double FitRun::MeanLoss() const {
    return epochDone_ > 0 ? lossSum_ / static_cast<double>(epochDone_) : 0.0;
}

void FitRun::ShowBar(bool finish) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const ProgressDisplay::State state{
        epoch_, options_.epochs, done_, training_.size() * options_.epochs, seconds, MeanLoss()};
    if (finish) {
        progress_->Finish(state);
    } else {
        progress_->Update(state);
    }
    const std::string text = bar_.str();
    if (text.empty()) return;
    bar_.str("");
    const py::object err = py::module_::import("sys").attr("stderr");
    err.attr("write")(text);
    err.attr("flush")();
}

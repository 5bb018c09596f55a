#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// The training history of one network folder, kept in "loss.csv" across
// `train` runs: a point every few samples of every run, the last point of
// each epoch also carrying the validation accuracy when there was one.
class LossLog {
  public:
    struct Point {
        std::size_t run = 1;             // counted from 1, in the order the runs were made
        std::size_t epoch = 1;           // within the run, from 1
        std::size_t samples = 0;         // samples trained in the run so far
        double learningRate = 0.0;       // 0: the library's own rate
        double meanLoss = 0.0;           // over the samples since the previous point
        double validationAccuracy = -1;  // share of validation samples right; -1: none here
    };

    // The history in `file`; none when the file does not exist. A file of
    // the earlier per-epoch format ("epoch,samples,mean_loss") becomes run 1.
    // Throws std::runtime_error naming the file when it cannot be read.
    static LossLog Read(const std::filesystem::path& file);

    std::size_t NextRun() const { return points_.empty() ? 1 : points_.back().run + 1; }
    void Add(const Point& point) { points_.push_back(point); }
    // Gives the last point the validation accuracy measured there.
    void SetLastValidation(double accuracy) { points_.back().validationAccuracy = accuracy; }
    const std::vector<Point>& Points() const { return points_; }
    // The points of each run, runs in order.
    std::vector<std::vector<Point>> Runs() const;

    // "run,epoch,samples,learning_rate,mean_loss,validation_accuracy" then
    // one line per point; empty fields for the default rate and no accuracy.
    std::string Csv() const;
    void WriteCsv(const std::filesystem::path& file) const;

  private:
    std::vector<Point> points_;
};

#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

// The mean training loss of each epoch of one `train` run.
class LossLog {
  public:
    struct Epoch {
        std::size_t samples;  // fewer than the epoch size when training was interrupted
        double meanLoss;
    };

    void Add(std::size_t samples, double meanLoss) { epochs_.push_back({samples, meanLoss}); }
    const std::vector<Epoch>& Epochs() const { return epochs_; }

    // "epoch,samples,mean_loss" then one line per epoch, counted from 1.
    std::string Csv() const;
    void WriteCsv(const std::filesystem::path& file) const;

  private:
    std::vector<Epoch> epochs_;
};

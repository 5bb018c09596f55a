#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Counts of (actual category, predicted category) pairs, and the measures
// drawn from them. Rows are actual categories, columns predicted ones.
class ConfusionMatrix {
  public:
    explicit ConfusionMatrix(std::size_t categories);

    void Add(std::size_t actual, std::size_t predicted);

    std::size_t Categories() const { return size_; }
    std::size_t Count(std::size_t actual, std::size_t predicted) const;
    std::size_t Total() const { return total_; }

    // Share of samples on the diagonal; nothing when no sample was added.
    std::optional<double> Accuracy() const;
    // Of the samples predicted as c, the share that are c; nothing when none was.
    std::optional<double> Precision(std::size_t c) const;
    // Of the samples that are c, the share predicted as c; nothing when there were none.
    std::optional<double> Recall(std::size_t c) const;

    // The per-category measures and the matrix as aligned text tables.
    std::string Report(const std::vector<std::string>& names) const;

  private:
    std::size_t size_;
    std::size_t total_ = 0;
    std::vector<std::size_t> counts_;  // row-major, size_ x size_
};

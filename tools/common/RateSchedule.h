#pragma once

#include <cstddef>

// The learning rate along a training run of `total` samples: `first` at the
// start, falling geometrically to `last` at the end, in steps every `step`
// samples. A `last` of 0 (or equal to `first`) keeps the rate constant; a
// `first` of 0 stands for the library's own rate and is never set.
class RateSchedule {
  public:
    RateSchedule(double first, double last, std::size_t total, std::size_t step);

    // The rate for sample number `done` (counted from 0).
    double At(std::size_t done) const;
    // True when the rate of sample `done` differs from the one before it,
    // or `done` is the first sample and a rate was asked for.
    bool ChangesAt(std::size_t done) const;

  private:
    double first_;
    double last_;
    std::size_t total_;
    std::size_t step_;
};

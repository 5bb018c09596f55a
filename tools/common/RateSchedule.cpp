#include "common/RateSchedule.h"

#include <algorithm>
#include <cmath>

RateSchedule::RateSchedule(double first, double last, std::size_t total, std::size_t step)
    : first_(first),
      last_(last > 0.0 ? last : first),
      total_(total),
      step_(std::max<std::size_t>(step, 1)) {}

double RateSchedule::At(std::size_t done) const {
    if (last_ == first_ || total_ == 0) return first_;
    // Each step keeps the rate of its first sample.
    const double along = static_cast<double>(done / step_ * step_) / static_cast<double>(total_);
    return first_ * std::pow(last_ / first_, std::min(along, 1.0));
}

bool RateSchedule::ChangesAt(std::size_t done) const {
    if (first_ <= 0.0) return false;
    return done == 0 || At(done) != At(done - 1);
}

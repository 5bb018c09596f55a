#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// The order in which samples are visited, reproducible from a seed. The
// shuffle is written out here instead of std::shuffle because the standard
// leaves std::shuffle's use of the generator to each library: the same seed
// must give the same order on every platform.
class SampleOrder {
  public:
    explicit SampleOrder(std::uint32_t seed);

    // Indices of the samples to use: all of 0..total-1 in order when limit is
    // 0 or not below total, otherwise limit of them picked at random (a data
    // folder is sorted by category, so its first samples would be one class).
    std::vector<std::size_t> Pick(std::size_t total, std::size_t limit);

    // Fisher-Yates from the back: element i swaps with a uniform j in [0, i].
    void Shuffle(std::vector<std::size_t>& order);

  private:
    // Uniform in [0, bound), by rejection so that no value is favoured.
    std::uint32_t Below(std::uint64_t bound);

    std::mt19937 engine_;
};

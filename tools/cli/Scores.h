#pragma once

#include <cstddef>
#include <vector>

// Turning category indices into wanted network outputs and network outputs
// back into ranked categories.
class Scores {
  public:
    // 1 for category index, 0 for every other one of count.
    static std::vector<float> OneHot(std::size_t index, std::size_t count);

    // The indices of the k highest scores, best first; equal scores keep
    // category order. k is capped at the number of scores.
    static std::vector<std::size_t> Top(const std::vector<float>& scores, std::size_t k);
};

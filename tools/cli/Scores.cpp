#include "cli/Scores.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

std::vector<float> Scores::OneHot(std::size_t index, std::size_t count) {
    if (index >= count) throw std::out_of_range("category index beyond the category count");
    std::vector<float> wanted(count, 0.0f);
    wanted[index] = 1.0f;
    return wanted;
}

std::vector<std::size_t> Scores::Top(const std::vector<float>& scores, std::size_t k) {
    std::vector<std::size_t> order(scores.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return scores[a] > scores[b]; });
    order.resize(std::min(k, order.size()));
    return order;
}

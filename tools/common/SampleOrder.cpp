#include "common/SampleOrder.h"

#include <numeric>
#include <utility>

SampleOrder::SampleOrder(std::uint32_t seed) : engine_(seed) {}

std::vector<std::size_t> SampleOrder::Pick(std::size_t total, std::size_t limit) {
    std::vector<std::size_t> indices(total);
    std::iota(indices.begin(), indices.end(), std::size_t{0});
    if (limit == 0 || limit >= total) return indices;
    Shuffle(indices);
    indices.resize(limit);
    return indices;
}

void SampleOrder::Shuffle(std::vector<std::size_t>& order) {
    for (std::size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[Below(i)]);
    }
}

std::uint32_t SampleOrder::Below(std::uint64_t bound) {
    // mt19937 yields 32 bits; accept only draws below the largest multiple of bound.
    const std::uint64_t range = std::uint64_t{1} << 32;
    const std::uint64_t accept = range - range % bound;
    std::uint64_t draw = engine_();
    while (draw >= accept) draw = engine_();
    return static_cast<std::uint32_t>(draw % bound);
}

#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One of n slices of a list of inputs: shard i of n takes every n-th input
// starting at position i, so the n shards together take each input exactly
// once and can run in separate processes or on separate machines.
class Shard {
  public:
    Shard() = default;  // the whole list
    // Parses "i/n" with 0 <= i < n; throws std::invalid_argument otherwise.
    static Shard Parse(const std::string& text);
    // The --shard option: the whole list when it was not given.
    static Shard FromOption(const std::string& text) {
        return text.empty() ? Shard() : Parse(text);
    }

    bool Takes(std::size_t position) const { return position % count_ == index_; }
    // The entries of `items` at the positions this shard takes, in order.
    template <typename T>
    std::vector<T> Select(const std::vector<T>& items) const {
        std::vector<T> taken;
        for (std::size_t position = 0; position < items.size(); ++position)
            if (Takes(position)) taken.push_back(items[position]);
        return taken;
    }

    std::size_t Index() const { return index_; }
    std::size_t Count() const { return count_; }

  private:
    std::size_t index_ = 0;
    std::size_t count_ = 1;
};

#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Maps the sub-folder names of a data set to the network's category indices.
// Names must match exactly; a category without a folder is fine (it just
// gets no samples), a folder without a category is an error.
class CategoryMatcher {
  public:
    explicit CategoryMatcher(std::vector<std::string> categories);

    // The category index of each folder, in the order given. Throws
    // std::runtime_error listing every folder that names no category.
    std::vector<std::size_t> Match(const std::vector<std::string>& folders) const;

  private:
    std::vector<std::string> categories_;
};

#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// Maps the sub-folder names of a data set to the network's category indices.
// A category's folder bears its name, or the name `folders` gives it (for a
// name that cannot be a folder's). Names must match exactly; a category
// without a folder is fine (it just gets no samples), a folder without a
// category is an error.
class CategoryMatcher {
  public:
    explicit CategoryMatcher(const std::vector<std::string>& categories,
                             const std::map<std::string, std::string>& folders = {});

    // The category index of each folder, in the order given. Throws
    // std::runtime_error listing every folder that names no category.
    std::vector<std::size_t> Match(const std::vector<std::string>& folders) const;

  private:
    std::vector<std::string> folders_;  // one per category
};

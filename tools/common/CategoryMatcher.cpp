#include "common/CategoryMatcher.h"

#include <algorithm>
#include <stdexcept>

namespace {

std::string Join(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

CategoryMatcher::CategoryMatcher(const std::vector<std::string>& categories,
                                 const std::map<std::string, std::string>& folders) {
    for (const std::string& name : categories) {
        const auto mapped = folders.find(name);
        folders_.push_back(mapped == folders.end() ? name : mapped->second);
    }
}

std::vector<std::size_t> CategoryMatcher::Match(const std::vector<std::string>& folders) const {
    std::vector<std::size_t> indices;
    std::vector<std::string> unknown;
    for (const std::string& folder : folders) {
        const auto found = std::find(folders_.begin(), folders_.end(), folder);
        if (found == folders_.end()) {
            unknown.push_back(folder);
        } else {
            indices.push_back(static_cast<std::size_t>(found - folders_.begin()));
        }
    }
    if (!unknown.empty()) {
        throw std::runtime_error("folders that name no category of the network: " + Join(unknown) +
                                 " (categories: " + Join(folders_) + ")");
    }
    return indices;
}

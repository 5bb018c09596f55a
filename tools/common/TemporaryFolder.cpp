#include "common/TemporaryFolder.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>

TemporaryFolder::TemporaryFolder(const std::filesystem::path& parent) {
    // Hidden, so that a data set in the same folder never lists it.
    std::string pattern = (parent / ".corvane-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder in " + parent.string());
    }
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

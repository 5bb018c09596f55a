#include "cli/WorkingDirectory.h"

#include <stdexcept>

WorkingDirectory::WorkingDirectory(const std::filesystem::path& folder)
    : previous_(std::filesystem::current_path()) {
    if (!std::filesystem::is_directory(folder)) {
        throw std::runtime_error("network folder not found: " + folder.string());
    }
    std::filesystem::current_path(folder);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

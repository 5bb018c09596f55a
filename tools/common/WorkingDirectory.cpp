#include "common/WorkingDirectory.h"

#include <iostream>
#include <stdexcept>

namespace {

std::recursive_mutex& ProcessWideMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

}  // namespace

WorkingDirectory::WorkingDirectory(const std::filesystem::path& folder)
    : lock_(ProcessWideMutex()), previous_(std::filesystem::current_path()) {
    if (!std::filesystem::is_directory(folder)) {
        throw std::runtime_error("network folder not found: " + folder.string());
    }
    std::filesystem::current_path(folder);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code error;
    std::filesystem::current_path(previous_, error);
    // A destructor cannot throw, and the previous folder may have been removed
    // meanwhile: say so rather than leave the process elsewhere silently.
    if (error) {
        std::cerr << "corvane: could not return to " << previous_ << ": " << error.message()
                  << std::endl;
    }
}

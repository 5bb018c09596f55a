#include "InFolder.h"

#include <iostream>

namespace {

std::mutex& WorkingDirectoryMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

InFolder::InFolder(const std::filesystem::path& folder)
    : lock_(WorkingDirectoryMutex()), previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
}

InFolder::~InFolder() {
    std::error_code error;
    std::filesystem::current_path(previous_, error);
    // A destructor cannot raise; the caller's directory may have been removed
    // while we were away. Say so rather than leave the process elsewhere silently.
    if (error)
        std::cerr << "corvane: could not return to " << previous_ << ": " << error.message()
                  << std::endl;
}

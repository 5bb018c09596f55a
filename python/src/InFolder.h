#pragma once

#include <filesystem>
#include <mutex>

// Makes `folder` the process's working directory for as long as the object
// lives, so that a library call that reads or writes "Network.data" finds the
// file of the right network. The working directory belongs to the whole
// process, so every InFolder of the module holds one module-wide mutex: two
// networks never switch directories under each other. The previous
// directory is restored on destruction, also when the call in between threw.
class InFolder {
  public:
    // Throws std::filesystem::filesystem_error if the folder cannot be entered.
    explicit InFolder(const std::filesystem::path& folder);
    ~InFolder();

    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

  private:
    std::unique_lock<std::mutex> lock_;
    std::filesystem::path previous_;
};

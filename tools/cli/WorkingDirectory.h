#pragma once

#include <filesystem>

// Makes a folder the current directory for its lifetime (the library only
// ever opens "Network.data" there) and goes back afterwards.
class WorkingDirectory {
  public:
    // Throws std::runtime_error when the folder does not exist.
    explicit WorkingDirectory(const std::filesystem::path& folder);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    std::filesystem::path previous_;
};

#pragma once

#include <filesystem>
#include <mutex>

// Makes a folder the process's working directory for its lifetime, since the
// library only ever opens "Network.data" there, and goes back afterwards,
// also when the work in between threw. The working directory belongs to the
// whole process, so every WorkingDirectory holds one process-wide lock: two
// threads never switch directories under each other, while one thread may
// nest them.
class WorkingDirectory {
  public:
    // Throws std::runtime_error naming the folder when it is not one.
    explicit WorkingDirectory(const std::filesystem::path& folder);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    std::unique_lock<std::recursive_mutex> lock_;
    std::filesystem::path previous_;
};

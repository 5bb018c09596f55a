#pragma once

#include <filesystem>

// A new, empty, hidden folder inside `parent`, removed with everything in it
// when the object goes. Work that must not touch a file until it has
// succeeded is done here and then moved into place with one rename, which
// replaces the old file at once because both lie on the same file system.
class TemporaryFolder {
  public:
    // Throws std::runtime_error naming parent when no folder can be made there.
    explicit TemporaryFolder(const std::filesystem::path& parent);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

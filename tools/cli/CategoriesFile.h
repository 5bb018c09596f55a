#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The file of `init --categories-file`: one category name per line, in
// output order. Blank lines are skipped and a trailing carriage return is
// dropped, so files written on Windows read the same.
class CategoriesFile {
  public:
    // Throws std::runtime_error naming the file when it cannot be read.
    static CategoriesFile Read(const std::filesystem::path& file);

    const std::vector<std::string>& Names() const { return names_; }

  private:
    std::vector<std::string> names_;
};

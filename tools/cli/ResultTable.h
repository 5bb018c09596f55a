#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// A CSV file of one row per input, for merging the results of sharded runs
// (header once, then the rows of each shard). Does nothing when no path is
// given. Fields holding a comma, quote or line end are quoted.
class ResultTable {
  public:
    ResultTable(const std::filesystem::path& path, const std::vector<std::string>& columns);

    void Row(const std::vector<std::string>& fields);
    // A score with enough digits to tell any two floats apart.
    static std::string Number(float value);
    static std::string Field(const std::string& text);

  private:
    std::filesystem::path path_;
    std::ofstream file_;
};

#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// The file of `init --categories-file`: one category name per line, in
// output order. A line "NAME = FOLDER" also gives the data-set folder of a
// category whose name cannot be a folder name ("T-shirt/top = T-shirt_top").
// Names and folders are trimmed of blanks; a UTF-8 byte-order mark at the
// start, carriage returns at line ends and blank lines at the end are
// dropped. The network's folder keeps the FOLDER mappings in a file of the
// same form, for train and eval.
class CategoriesFile {
  public:
    // Throws std::invalid_argument naming the file and line of an empty name
    // or of a folder name that cannot be one, std::runtime_error when the
    // file cannot be read.
    static CategoriesFile Read(const std::filesystem::path& file);

    const std::vector<std::string>& Names() const { return names_; }
    // The folder of each category that has one other than its name.
    const std::map<std::string, std::string>& Folders() const { return folders_; }

    // The mapping lines of folders, in the order of names.
    static std::string MappingText(const std::vector<std::string>& names,
                                   const std::map<std::string, std::string>& folders);

  private:
    std::vector<std::string> names_;
    std::map<std::string, std::string> folders_;
};

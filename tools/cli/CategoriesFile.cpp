#include "cli/CategoriesFile.h"

#include <fstream>
#include <stdexcept>

CategoriesFile CategoriesFile::Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read categories file " + file.string());
    CategoriesFile result;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) result.names_.push_back(line);
    }
    return result;
}

#include "cli/CategoriesFile.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

const char* const kBlanks = " \t\r";
const std::string kByteOrderMark = "\xEF\xBB\xBF";

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

CategoriesFile CategoriesFile::Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read categories file " + file.string());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (!lines.empty() && lines[0].compare(0, kByteOrderMark.size(), kByteOrderMark) == 0) {
        lines[0].erase(0, kByteOrderMark.size());
    }
    while (!lines.empty() && Trimmed(lines.back()).empty()) lines.pop_back();

    CategoriesFile result;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const auto refuse = [&](const std::string& problem) {
            return std::invalid_argument(file.string() + " line " + std::to_string(n + 1) + ": " +
                                         problem);
        };
        const std::size_t equals = lines[n].find('=');
        const std::string name = Trimmed(lines[n].substr(0, equals));
        if (name.empty()) throw refuse("empty category name");
        result.names_.push_back(name);
        if (equals == std::string::npos) continue;
        const std::string folder = Trimmed(lines[n].substr(equals + 1));
        if (folder.empty() || folder == "." || folder == ".." ||
            folder.find('/') != std::string::npos) {
            throw refuse("\"" + folder + "\" cannot be a folder name");
        }
        result.folders_[name] = folder;
    }
    return result;
}

std::string CategoriesFile::MappingText(const std::vector<std::string>& names,
                                        const std::map<std::string, std::string>& folders) {
    std::ostringstream text;
    for (const std::string& name : names) {
        const auto found = folders.find(name);
        if (found != folders.end()) text << name << " = " << found->second << '\n';
    }
    return text.str();
}

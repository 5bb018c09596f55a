#include "cli/ResultTable.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>

ResultTable::ResultTable(const std::filesystem::path& path, const std::vector<std::string>& columns)
    : path_(path) {
    if (path_.empty()) return;
    file_.open(path_, std::ios::out | std::ios::trunc);
    if (!file_) throw std::runtime_error("cannot write " + path_.string());
    Row(columns);
}

void ResultTable::Row(const std::vector<std::string>& fields) {
    if (path_.empty()) return;
    for (std::size_t i = 0; i < fields.size(); ++i) file_ << (i ? "," : "") << Field(fields[i]);
    // Each row reaches the file before the next begins, so that a run stopped
    // on the way leaves whole rows.
    file_ << '\n' << std::flush;
    if (!file_) throw std::runtime_error("cannot write " + path_.string());
}

std::string ResultTable::Number(float value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::setprecision(9) << value;
    return text.str();
}

std::string ResultTable::Field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += (c == '"') ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

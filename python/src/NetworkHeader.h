#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The three header lines of a network file: "W;H", the output count, and the
// category names each followed by ";". The module writes them to create a
// network and reads the output count back, because the C interface reports
// the category names but not how many scores a prediction writes.
struct NetworkHeader {
    int width = 0;
    int height = 0;
    int outputCount = 0;
    std::vector<std::string> categories;

    // Throws std::invalid_argument naming the first thing that is wrong: a
    // side that is not a positive multiple of 32, no category, or a name
    // that is empty or holds ";" or a line break.
    void Validate() const;

    // Writes the three lines to `file`, replacing it. Throws std::runtime_error.
    void Write(const std::filesystem::path& file) const;

    // Reads size and output count from `file` (the names are left empty;
    // the library reports those). Throws std::runtime_error if the file
    // cannot be read or its first two lines do not hold the numbers.
    static NetworkHeader ReadSizes(const std::filesystem::path& file);
};

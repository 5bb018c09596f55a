#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// The three header lines of a network file: "W;H", the output count, and the
// category names each followed by ";". The hosts (the program and the Python
// module) write them to create a network, whose weights the library then
// adds, and read them back for what the C interface does not report: the
// input size, the output count and so how many weights the file must hold.
class NetworkHeader {
  public:
    // A header for a new network with one output per name. Throws
    // std::invalid_argument naming the first problem: a side that is not a
    // multiple of 32 of at least 32, no name, or a name that is empty, holds
    // ";" or a line end, or is given twice.
    NetworkHeader(int width, int height, std::vector<std::string> categories);

    // The header of an existing file, read as the library reads it (a
    // trailing carriage return is dropped; the names are not checked).
    // Throws std::runtime_error when the file cannot be read or its first two
    // lines do not hold the numbers.
    static NetworkHeader Read(const std::filesystem::path& file);

    // "WxH" (for example "32x32") as width and height; throws
    // std::invalid_argument on anything else.
    static std::pair<int, int> ParseSize(const std::string& text);

    int Width() const { return width_; }
    int Height() const { return height_; }
    int OutputCount() const { return outputCount_; }
    const std::vector<std::string>& Categories() const { return categories_; }

    // The weights of the network this header describes: the convolutions'
    // kernels, then for each output one weight per dense input and a bias.
    std::uint64_t WeightCount() const;

    // "W;H\n", "N\n", then every name followed by ";" and a final "\n".
    std::string Text() const;
    // Writes Text() to file, replacing it; throws std::runtime_error.
    void Write(const std::filesystem::path& file) const;

  private:
    NetworkHeader() = default;

    int width_ = 0;
    int height_ = 0;
    int outputCount_ = 0;
    std::vector<std::string> categories_;
};

#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The three header lines of a new network file: input size, output count and
// category names. Construction checks that the library can build a network
// from them, so that `init` fails with a clear message instead of leaving a
// file the library rejects.
class NetworkHeader {
  public:
    // Throws std::invalid_argument naming the first problem found.
    NetworkHeader(int width, int height, std::vector<std::string> categories);

    // "WxH" (for example "32x32") as width and height; throws on anything else.
    static std::pair<int, int> ParseSize(const std::string& text);

    // One name per line; blank lines are skipped and a trailing carriage
    // return is dropped, so files written on Windows read the same.
    static std::vector<std::string> ReadNames(const std::filesystem::path& file);

    // "W;H\n", "N\n", then every name followed by ";" and a final "\n".
    std::string Text() const;

  private:
    int width_;
    int height_;
    std::vector<std::string> categories_;
};

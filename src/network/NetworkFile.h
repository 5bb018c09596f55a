#pragma once

#include <array>
#include <iosfwd>
#include <opencv2/core.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "layers/ILayer.h"

// The text file "Network.data" in the current directory: three header lines
// (width;height, output count, category names each followed by ";") and one
// line of ";"-terminated values per weight group. Each call opens the file,
// uses it and closes it; nothing about it stays in memory.
namespace NetworkFile {

extern const char* const kFileName;

// Room for the text of any float with six significant digits.
using WeightText = std::array<char, 32>;

// The text a weight is saved as: general notation with six significant
// digits ("0.05", "1.5e-05", "0.123457"), written into `buffer`.
std::string_view FormatWeight(float value, WeightText& buffer);

// Writes the three header lines to an open stream.
void WriteHeader(std::ostream& out, const std::vector<std::string>& categories, cv::Size size,
                 int outputCount);

// Writes the header and one line per group. The file is written next to the
// old one under a name of this save alone, synced, and renamed over it only
// once complete, so a failed save (or two saves at once) never loses or
// mixes the previous network. Weights that are not finite are refused
// before anything is written. Prints "Weights saved:" and the value count.
void Write(const WeightGroups& groups, const std::vector<std::string>& categories, cv::Size size,
           int outputCount);

// Reads the header into categories, size and outputCount; with groups, also
// stores the weight values through them and prints "Weights loaded:" and the
// count stored. A missing file, or anything but a plain file in its place,
// prints and throws "open network file error" and leaves categories as they
// were; a header whose first two lines do not hold integers, whose lines
// are longer than the limits allow, or with more names than the limits
// allow (100016), is refused with one printed line before anything is
// filled in. Weight lines are parsed as they are read: no line
// is ever held whole in memory.
void Read(const WeightGroups* groups, std::vector<std::string>& categories, cv::Size& size,
          int& outputCount);

}  // namespace NetworkFile

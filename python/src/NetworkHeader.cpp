#include "NetworkHeader.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr int kSizeStep = 32;  // every module of the network halves the size: five halvings

void CheckSide(int side, const char* name) {
    if (side < kSizeStep || side % kSizeStep != 0)
        throw std::invalid_argument(std::string("size ") + name +
                                    " must be a multiple of 32 and at least 32, got " +
                                    std::to_string(side));
}

std::string ReadLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

void NetworkHeader::Validate() const {
    CheckSide(width, "width");
    CheckSide(height, "height");
    if (categories.empty())
        throw std::invalid_argument("categories must name at least one category");
    for (const std::string& name : categories) {
        if (name.empty()) throw std::invalid_argument("category names must not be empty");
        if (name.find_first_of(";\r\n") != std::string::npos)
            throw std::invalid_argument("category name '" + name +
                                        "' must not contain ';' or a line break");
    }
}

void NetworkHeader::Write(const std::filesystem::path& file) const {
    std::ofstream out(file, std::ios::out | std::ios::trunc);
    out << width << ";" << height << "\n" << outputCount << "\n";
    for (const std::string& name : categories) out << name << ";";
    out << "\n";
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

NetworkHeader NetworkHeader::ReadSizes(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    NetworkHeader header;
    std::istringstream sizeLine(ReadLine(in));
    char separator = 0;
    std::istringstream countLine(ReadLine(in));
    if (!(sizeLine >> header.width >> separator >> header.height) || separator != ';' ||
        !(countLine >> header.outputCount) || header.outputCount < 0)
        throw std::runtime_error(file.string() + " does not start with a network header");
    return header;
}

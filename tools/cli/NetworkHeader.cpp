#include "cli/NetworkHeader.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

// The five residual modules halve the input five times.
constexpr int kSizeStep = 32;

void CheckSide(const char* what, int value) {
    if (value < kSizeStep || value % kSizeStep != 0) {
        throw std::invalid_argument(std::string("network ") + what + " must be a multiple of " +
                                    std::to_string(kSizeStep) + " and at least " +
                                    std::to_string(kSizeStep) + ", not " + std::to_string(value));
    }
}

}  // namespace

NetworkHeader::NetworkHeader(int width, int height, std::vector<std::string> categories)
    : width_(width), height_(height), categories_(std::move(categories)) {
    CheckSide("width", width_);
    CheckSide("height", height_);
    if (categories_.empty()) throw std::invalid_argument("no category names given");
    std::set<std::string> seen;
    for (const std::string& name : categories_) {
        if (name.empty()) throw std::invalid_argument("empty category name");
        // ";" separates names in the file and a line end would end the header early.
        if (name.find_first_of(";\r\n") != std::string::npos) {
            throw std::invalid_argument("category name may not contain ';' or a line end: \"" +
                                        name + "\"");
        }
        if (!seen.insert(name).second) {
            throw std::invalid_argument("category name given twice: \"" + name + "\"");
        }
    }
}

std::pair<int, int> NetworkHeader::ParseSize(const std::string& text) {
    const std::size_t x = text.find_first_of("xX");
    const auto parse = [&](const std::string& part) {
        if (part.empty() || part.size() > 6 ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            throw std::invalid_argument("size must look like 32x32, not \"" + text + "\"");
        }
        return std::stoi(part);
    };
    if (x == std::string::npos) {
        throw std::invalid_argument("size must look like 32x32, not \"" + text + "\"");
    }
    return {parse(text.substr(0, x)), parse(text.substr(x + 1))};
}

std::vector<std::string> NetworkHeader::ReadNames(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read categories file " + file.string());
    std::vector<std::string> names;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) names.push_back(line);
    }
    return names;
}

std::string NetworkHeader::Text() const {
    std::ostringstream out;
    out << width_ << ';' << height_ << '\n' << categories_.size() << '\n';
    for (const std::string& name : categories_) out << name << ';';
    out << '\n';
    return out.str();
}

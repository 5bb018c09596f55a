#include "common/NetworkHeader.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

// The five residual modules halve the input five times.
constexpr int kSizeStep = 32;
// Every kernel weight and bias of the five modules' convolutions, whatever
// the input size.
constexpr std::uint64_t kConvolutionWeights = 830128;
// Feature maps the last module hands to the dense stack.
constexpr std::uint64_t kLastMaps = 512;

void CheckSide(const char* what, int value) {
    if (value < kSizeStep || value % kSizeStep != 0) {
        throw std::invalid_argument(std::string("network ") + what + " must be a multiple of " +
                                    std::to_string(kSizeStep) + " and at least " +
                                    std::to_string(kSizeStep) + ", not " + std::to_string(value));
    }
}

std::string ReadLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

NetworkHeader::NetworkHeader(int width, int height, std::vector<std::string> categories)
    : width_(width),
      height_(height),
      outputCount_(static_cast<int>(categories.size())),
      categories_(std::move(categories)) {
    CheckSide("width", width_);
    CheckSide("height", height_);
    if (categories_.empty()) throw std::invalid_argument("give at least one category name");
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

NetworkHeader NetworkHeader::Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    NetworkHeader header;
    std::istringstream sizeLine(ReadLine(in));
    std::istringstream countLine(ReadLine(in));
    char separator = 0;
    if (!(sizeLine >> header.width_ >> separator >> header.height_) || separator != ';' ||
        !(countLine >> header.outputCount_) || header.outputCount_ < 0) {
        throw std::runtime_error(file.string() + " does not start with a network header");
    }
    std::istringstream names(ReadLine(in));
    for (std::string name; std::getline(names, name, ';');) header.categories_.push_back(name);
    return header;
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

std::uint64_t NetworkHeader::WeightCount() const {
    const std::uint64_t cells = static_cast<std::uint64_t>(width_ / kSizeStep) *
                                static_cast<std::uint64_t>(height_ / kSizeStep) * kLastMaps;
    return kConvolutionWeights + (cells + 1) * static_cast<std::uint64_t>(outputCount_);
}

std::string NetworkHeader::Text() const {
    std::ostringstream out;
    // A host's global locale (digit grouping) must not reach the file.
    out.imbue(std::locale::classic());
    out << width_ << ';' << height_ << '\n' << outputCount_ << '\n';
    for (const std::string& name : categories_) out << name << ';';
    out << '\n';
    return out.str();
}

void NetworkHeader::Write(const std::filesystem::path& file) const {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << Text();
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

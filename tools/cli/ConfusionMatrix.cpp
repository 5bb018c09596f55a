#include "cli/ConfusionMatrix.h"

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace {

std::string Percent(const std::optional<double>& share) {
    if (!share) return "-";
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << *share * 100.0 << '%';
    return out.str();
}

}  // namespace

ConfusionMatrix::ConfusionMatrix(std::size_t categories)
    : size_(categories), counts_(categories * categories, 0) {}

void ConfusionMatrix::Add(std::size_t actual, std::size_t predicted) {
    if (actual >= size_ || predicted >= size_) {
        throw std::out_of_range("category index beyond the confusion matrix");
    }
    ++counts_[actual * size_ + predicted];
    ++total_;
}

std::size_t ConfusionMatrix::Count(std::size_t actual, std::size_t predicted) const {
    return counts_.at(actual * size_ + predicted);
}

std::optional<double> ConfusionMatrix::Accuracy() const {
    if (total_ == 0) return std::nullopt;
    std::size_t right = 0;
    for (std::size_t c = 0; c < size_; ++c) right += Count(c, c);
    return static_cast<double>(right) / static_cast<double>(total_);
}

std::optional<double> ConfusionMatrix::Precision(std::size_t c) const {
    std::size_t predicted = 0;
    for (std::size_t a = 0; a < size_; ++a) predicted += Count(a, c);
    if (predicted == 0) return std::nullopt;
    return static_cast<double>(Count(c, c)) / static_cast<double>(predicted);
}

std::optional<double> ConfusionMatrix::Recall(std::size_t c) const {
    std::size_t actual = 0;
    for (std::size_t p = 0; p < size_; ++p) actual += Count(c, p);
    if (actual == 0) return std::nullopt;
    return static_cast<double>(Count(c, c)) / static_cast<double>(actual);
}

std::string ConfusionMatrix::Report(const std::vector<std::string>& names) const {
    if (names.size() != size_) throw std::invalid_argument("one name per category needed");
    std::size_t nameWidth = 8;
    for (const std::string& name : names) nameWidth = std::max(nameWidth, name.size());
    std::size_t countWidth = 6;
    for (const std::string& name : names) countWidth = std::max(countWidth, name.size() + 1);
    countWidth = std::max(countWidth, std::to_string(total_).size() + 1);

    std::ostringstream out;
    out << std::left << std::setw(static_cast<int>(nameWidth)) << "category" << std::right
        << std::setw(11) << "precision" << std::setw(9) << "recall" << std::setw(9) << "samples"
        << '\n';
    for (std::size_t c = 0; c < size_; ++c) {
        std::size_t samples = 0;
        for (std::size_t p = 0; p < size_; ++p) samples += Count(c, p);
        out << std::left << std::setw(static_cast<int>(nameWidth)) << names[c] << std::right
            << std::setw(11) << Percent(Precision(c)) << std::setw(9) << Percent(Recall(c))
            << std::setw(9) << samples << '\n';
    }

    out << "\nconfusion matrix (rows: actual, columns: predicted)\n";
    out << std::setw(static_cast<int>(nameWidth)) << "";
    for (const std::string& name : names) out << std::setw(static_cast<int>(countWidth)) << name;
    out << '\n';
    for (std::size_t a = 0; a < size_; ++a) {
        out << std::left << std::setw(static_cast<int>(nameWidth)) << names[a] << std::right;
        for (std::size_t p = 0; p < size_; ++p) {
            out << std::setw(static_cast<int>(countWidth)) << Count(a, p);
        }
        out << '\n';
    }
    return out.str();
}

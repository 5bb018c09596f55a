#include "cli/LossLog.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

std::string LossLog::Csv() const {
    std::ostringstream out;
    out.precision(6);
    out << "epoch,samples,mean_loss\n";
    for (std::size_t e = 0; e < epochs_.size(); ++e) {
        out << e + 1 << ',' << epochs_[e].samples << ',' << epochs_[e].meanLoss << '\n';
    }
    return out.str();
}

void LossLog::WriteCsv(const std::filesystem::path& file) const {
    std::ofstream out(file, std::ios::binary);
    out << Csv();
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

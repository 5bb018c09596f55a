#include "cli/LossLog.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

const char* const kHeader = "run,epoch,samples,learning_rate,mean_loss,validation_accuracy";
const char* const kEpochHeader = "epoch,samples,mean_loss";

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    return fields;
}

double Number(const std::string& field, double empty) {
    return field.empty() ? empty : std::stod(field);
}

}  // namespace

LossLog LossLog::Read(const std::filesystem::path& file) {
    LossLog log;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (std::filesystem::exists(file)) throw std::runtime_error("cannot read " + file.string());
        return log;
    }
    std::string header;
    std::getline(in, header);
    const bool perEpoch = header == kEpochHeader;
    if (!perEpoch && header != kHeader) {
        throw std::runtime_error(file.string() + " is not a loss history (move it away)");
    }
    std::size_t samples = 0;  // the per-epoch format counts each epoch alone
    std::size_t lineNumber = 1;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        if (line.empty()) continue;
        const std::vector<std::string> f = Fields(line);
        Point point;
        try {
            if (perEpoch && f.size() == 3) {
                point.epoch = std::stoul(f[0]);
                samples += std::stoul(f[1]);
                point.samples = samples;
                point.meanLoss = std::stod(f[2]);
            } else if (!perEpoch && f.size() == 6) {
                point = {std::stoul(f[0]),  std::stoul(f[1]), std::stoul(f[2]),
                         Number(f[3], 0.0), std::stod(f[4]),  Number(f[5], -1.0)};
            } else {
                throw std::invalid_argument("field count");
            }
        } catch (const std::exception&) {
            throw std::runtime_error(file.string() + ": line " + std::to_string(lineNumber) +
                                     " is not a loss point");
        }
        log.Add(point);
    }
    return log;
}

std::vector<std::vector<LossLog::Point>> LossLog::Runs() const {
    std::vector<std::vector<Point>> runs;
    for (const Point& point : points_) {
        if (runs.empty() || runs.back().front().run != point.run) runs.emplace_back();
        runs.back().push_back(point);
    }
    return runs;
}

std::string LossLog::Csv() const {
    std::ostringstream out;
    out.precision(6);
    out << kHeader << '\n';
    for (const Point& p : points_) {
        out << p.run << ',' << p.epoch << ',' << p.samples << ',';
        if (p.learningRate > 0.0) out << p.learningRate;
        out << ',' << p.meanLoss << ',';
        if (p.validationAccuracy >= 0.0) out << p.validationAccuracy;
        out << '\n';
    }
    return out.str();
}

void LossLog::WriteCsv(const std::filesystem::path& file) const {
    std::ofstream out(file, std::ios::binary);
    out << Csv();
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

#include "cli/Charts.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <stdexcept>

namespace {

const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kBlack(0, 0, 0);
const cv::Scalar kGrey(200, 200, 200);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;

std::string Fixed(double value, int digits) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(digits) << value;
    return out.str();
}

// Names longer than a cell would run into their neighbours.
std::string Short(const std::string& name, std::size_t length) {
    return name.size() <= length ? name : name.substr(0, length - 1) + ".";
}

}  // namespace

const cv::Scalar Charts::kCurveColour(200, 80, 0);

namespace {

// Distinct colours for the curves after the first, in BGR.
const cv::Scalar kPalette[] = {Charts::kCurveColour, {40, 40, 220}, {40, 160, 40}, {160, 40, 160},
                               {0, 150, 220},        {120, 120, 0}, {80, 80, 80},  {200, 160, 60}};
constexpr std::size_t kMostRuns = 6;  // a loss chart shows the last runs only

// A round step between axis labels that gives at most about eight of them.
double TickStep(double span) {
    const double rough = span / 8.0;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= rough) return factor * power;
    }
    return 10.0 * power;
}

// Sample counts as people write them: 500, 20k, 1.5M.
std::string Count(double samples) {
    if (samples >= 1e6) return Fixed(samples / 1e6, samples >= 1e7 ? 0 : 1) + "M";
    if (samples >= 1e3) return Fixed(samples / 1e3, std::fmod(samples, 1e3) == 0.0 ? 0 : 1) + "k";
    return Fixed(samples, 0);
}

// Two significant digits are enough to tell rates apart in a legend.
std::string Rate(double rate) {
    std::ostringstream out;
    out << std::setprecision(2) << rate;
    return out.str();
}

}  // namespace

cv::Mat Charts::LineChart(const std::string& title, const std::vector<Series>& series, double yMin,
                          double yMax) {
    // The legend has a column of its own on the right, clear of the curves.
    const int width = 900, height = 400;
    const int left = 70, right = 230, top = 40, bottom = 60;
    cv::Mat image(height, width, CV_8UC3, kWhite);
    const cv::Point origin(left, height - bottom);
    const int plotWidth = width - left - right;
    const int plotHeight = height - top - bottom;

    double xMax = 0.0;
    for (const Series& line : series) {
        for (const cv::Point2d& p : line.points) xMax = std::max(xMax, p.x);
    }
    if (xMax <= 0.0) xMax = 1.0;
    const double ySpan = yMax > yMin ? yMax - yMin : 1.0;
    const auto at = [&](const cv::Point2d& p) {
        return cv::Point(
            left + static_cast<int>(std::lround(plotWidth * p.x / xMax)),
            origin.y - static_cast<int>(std::lround(plotHeight * (p.y - yMin) / ySpan)));
    };

    // Grid and labels at round steps up and across.
    const double yStep = TickStep(ySpan);
    const int digits = std::max(0, -static_cast<int>(std::floor(std::log10(yStep))));
    for (double y = yMin; y <= yMax + yStep * 1e-6; y += yStep) {
        const int row = at({0.0, y}).y;
        cv::line(image, {left, row}, {left + plotWidth, row}, kGrey, 1);
        cv::putText(image, Fixed(y, digits), {8, row + 5}, kFont, 0.45, kBlack, 1, cv::LINE_AA);
    }
    const double xStep = TickStep(xMax);
    for (double x = 0.0; x <= xMax * 1.0001; x += xStep) {
        const cv::Point tick = at({x, yMin});
        cv::line(image, tick, {tick.x, origin.y + 5}, kBlack, 1);
        cv::putText(image, Count(x), {tick.x - 12, origin.y + 22}, kFont, 0.45, kBlack, 1,
                    cv::LINE_AA);
    }
    cv::line(image, origin, {left + plotWidth, origin.y}, kBlack, 2);
    cv::line(image, origin, {left, top}, kBlack, 2);
    cv::putText(image, "samples seen", {left + plotWidth / 2 - 50, height - 15}, kFont, 0.6, kBlack,
                1, cv::LINE_AA);
    cv::putText(image, title, {left, 25}, kFont, 0.6, kBlack, 1, cv::LINE_AA);

    for (std::size_t s = 0; s < series.size(); ++s) {
        const cv::Scalar& colour = kPalette[s % std::size(kPalette)];
        std::vector<cv::Point> points;
        for (const cv::Point2d& p : series[s].points) points.push_back(at(p));
        if (points.size() > 1) cv::polylines(image, points, false, colour, 2, cv::LINE_AA);
        for (const cv::Point& p : points) cv::circle(image, p, 3, colour, cv::FILLED, cv::LINE_AA);
        const int y = top + 12 + 20 * static_cast<int>(s);
        cv::line(image, {width - right + 15, y}, {width - right + 39, y}, colour, 3);
        cv::putText(image, series[s].name, {width - right + 45, y + 5}, kFont, 0.42, kBlack, 1,
                    cv::LINE_AA);
    }
    return image;
}

cv::Mat Charts::AccuracyChart(const std::string& title, const std::vector<Series>& series) {
    double low = 100.0, high = 0.0;
    std::vector<Series> percent = series;
    for (Series& line : percent) {
        for (cv::Point2d& p : line.points) {
            p.y *= 100.0;
            low = std::min(low, p.y);
            high = std::max(high, p.y);
        }
    }
    if (low > high) low = 0.0, high = 100.0;
    return LineChart(title, percent, std::floor(low / 5.0) * 5.0,
                     std::min(100.0, std::floor(high / 5.0) * 5.0 + 5.0));
}

cv::Mat Charts::LossCurve(const LossLog& log) {
    std::vector<std::vector<LossLog::Point>> runs = log.Runs();
    if (runs.size() > kMostRuns) runs.erase(runs.begin(), runs.end() - kMostRuns);
    std::vector<Series> losses, accuracies;
    double maxLoss = 0.0;
    for (const std::vector<LossLog::Point>& run : runs) {
        const LossLog::Point& first = run.front();
        std::string name = "run " + std::to_string(first.run) + ": " +
                           (first.learningRate > 0.0 ? Rate(first.learningRate) : "default rate");
        if (run.back().learningRate != first.learningRate) {
            name += " to " + Rate(run.back().learningRate);
        }
        Series loss{name, {}}, accuracy{name, {}};
        for (const LossLog::Point& p : run) {
            const double x = static_cast<double>(p.samples);
            loss.points.emplace_back(x, p.meanLoss);
            maxLoss = std::max(maxLoss, p.meanLoss);
            if (p.validationAccuracy >= 0.0) accuracy.points.emplace_back(x, p.validationAccuracy);
        }
        losses.push_back(loss);
        if (!accuracy.points.empty()) accuracies.push_back(accuracy);
    }
    const cv::Mat lossChart =
        LineChart("mean training loss", losses, 0.0, maxLoss > 0.0 ? maxLoss * 1.1 : 1.0);
    if (accuracies.empty()) return lossChart;
    cv::Mat both;
    cv::vconcat(lossChart, AccuracyChart("validation accuracy (%) after each epoch", accuracies),
                both);
    return both;
}

cv::Mat Charts::ConfusionHeatMap(const ConfusionMatrix& matrix,
                                 const std::vector<std::string>& names) {
    const int n = static_cast<int>(matrix.Categories());
    const int cell = 48, margin = 90, top = 40;
    const int side = std::max(margin + n * cell + 10, 320);
    cv::Mat image(top + n * cell + margin, side, CV_8UC3, kWhite);

    // Shares of each row, as grey levels mapped through a colour scale.
    cv::Mat shares(n, n, CV_8UC1, cv::Scalar(0));
    for (int a = 0; a < n; ++a) {
        std::size_t row = 0;
        for (int p = 0; p < n; ++p) row += matrix.Count(a, p);
        for (int p = 0; p < n; ++p) {
            const double share = row == 0 ? 0.0 : static_cast<double>(matrix.Count(a, p)) / row;
            shares.at<std::uint8_t>(a, p) = cv::saturate_cast<std::uint8_t>(share * 255.0);
        }
    }
    cv::Mat colours;
    cv::applyColorMap(shares, colours, cv::COLORMAP_VIRIDIS);

    for (int a = 0; a < n; ++a) {
        for (int p = 0; p < n; ++p) {
            const cv::Rect box(margin + p * cell, top + a * cell, cell, cell);
            const cv::Vec3b c = colours.at<cv::Vec3b>(a, p);
            cv::rectangle(image, box, cv::Scalar(c[0], c[1], c[2]), cv::FILLED);
            cv::rectangle(image, box, kWhite, 1);
            // Dark text on the bright end of the scale, light text on the dark end.
            const cv::Scalar ink = shares.at<std::uint8_t>(a, p) > 160 ? kBlack : kWhite;
            cv::putText(image, std::to_string(matrix.Count(a, p)),
                        {box.x + 4, box.y + cell / 2 + 5}, kFont, 0.4, ink, 1, cv::LINE_AA);
        }
        cv::putText(image, Short(names[a], 10), {4, top + a * cell + cell / 2 + 5}, kFont, 0.4,
                    kBlack, 1, cv::LINE_AA);
    }
    // Predicted names run downwards under their columns.
    for (int p = 0; p < n; ++p) {
        cv::Mat label(20, margin - 5, CV_8UC3, kWhite);
        cv::putText(label, Short(names[p], 10), {2, 14}, kFont, 0.4, kBlack, 1, cv::LINE_AA);
        cv::Mat turned;
        cv::rotate(label, turned, cv::ROTATE_90_CLOCKWISE);
        const cv::Rect where(margin + p * cell + (cell - turned.cols) / 2, top + n * cell + 4,
                             turned.cols, turned.rows);
        turned.copyTo(image(where));
    }
    cv::putText(image, "rows: actual, columns: predicted", {4, 25}, kFont, 0.5, kBlack, 1,
                cv::LINE_AA);
    return image;
}

void Charts::Save(const std::string& file, const cv::Mat& image) {
    bool written = false;
    try {
        written = cv::imwrite(file, image);
    } catch (const cv::Exception&) {
        written = false;
    }
    if (!written) throw std::runtime_error("cannot write " + file);
}

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

cv::Mat Charts::LossCurve(const std::vector<double>& meanLosses) {
    const int width = 640, height = 400;
    const int left = 70, right = 20, top = 40, bottom = 60;
    cv::Mat image(height, width, CV_8UC3, kWhite);
    const cv::Point origin(left, height - bottom);
    const int plotWidth = width - left - right;
    const int plotHeight = height - top - bottom;

    double maxLoss = 0.0;
    for (const double loss : meanLosses) maxLoss = std::max(maxLoss, loss);
    const double yMax = maxLoss > 0.0 ? maxLoss * 1.1 : 1.0;
    const std::size_t epochs = std::max<std::size_t>(meanLosses.size(), 1);

    // Grid and tick labels: five steps up the loss axis.
    for (int t = 0; t <= 5; ++t) {
        const int y = origin.y - plotHeight * t / 5;
        cv::line(image, {left, y}, {width - right, y}, kGrey, 1);
        cv::putText(image, Fixed(yMax * t / 5, 3), {8, y + 5}, kFont, 0.45, kBlack, 1, cv::LINE_AA);
    }
    const auto xFor = [&](std::size_t epoch) {  // epoch counted from 1
        if (epochs == 1) return left + plotWidth / 2;
        return left + static_cast<int>(std::lround(static_cast<double>(plotWidth) *
                                                   static_cast<double>(epoch - 1) /
                                                   static_cast<double>(epochs - 1)));
    };
    const std::size_t labelStep = std::max<std::size_t>(1, epochs / 10);
    for (std::size_t e = 1; e <= epochs; e += labelStep) {
        cv::putText(image, std::to_string(e), {xFor(e) - 5, origin.y + 20}, kFont, 0.45, kBlack, 1,
                    cv::LINE_AA);
    }
    cv::line(image, origin, {width - right, origin.y}, kBlack, 2);
    cv::line(image, origin, {left, top}, kBlack, 2);
    cv::putText(image, "epoch", {left + plotWidth / 2 - 25, height - 15}, kFont, 0.6, kBlack, 1,
                cv::LINE_AA);
    cv::putText(image, "mean training loss", {left, 25}, kFont, 0.6, kBlack, 1, cv::LINE_AA);

    std::vector<cv::Point> points;
    for (std::size_t e = 0; e < meanLosses.size(); ++e) {
        const int y = origin.y - static_cast<int>(std::lround(plotHeight * meanLosses[e] / yMax));
        points.emplace_back(xFor(e + 1), y);
    }
    if (points.size() > 1) cv::polylines(image, points, false, kCurveColour, 2, cv::LINE_AA);
    for (const cv::Point& p : points)
        cv::circle(image, p, 4, kCurveColour, cv::FILLED, cv::LINE_AA);
    return image;
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

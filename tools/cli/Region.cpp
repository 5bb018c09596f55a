#include "cli/Region.h"

#include <sstream>
#include <stdexcept>
#include <vector>

Region Region::Whole(const cv::Mat& image) {
    Region region;
    region.width = static_cast<unsigned>(image.cols);
    region.height = static_cast<unsigned>(image.rows);
    return region;
}

Region Region::Parse(const std::string& text) {
    std::vector<unsigned long> values;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        if (part.empty() || part.size() > 9 ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            values.clear();
            break;
        }
        values.push_back(std::stoul(part));
    }
    if (values.size() != 4 || values[2] == 0 || values[3] == 0) {
        throw std::invalid_argument("region must be x,y,w,h with w and h above 0, not \"" + text +
                                    "\"");
    }
    Region region;
    region.x = static_cast<unsigned>(values[0]);
    region.y = static_cast<unsigned>(values[1]);
    region.width = static_cast<unsigned>(values[2]);
    region.height = static_cast<unsigned>(values[3]);
    return region;
}

void Region::CheckInside(const cv::Mat& image, const std::string& what) const {
    const unsigned long long right = static_cast<unsigned long long>(x) + width;
    const unsigned long long bottom = static_cast<unsigned long long>(y) + height;
    if (right > static_cast<unsigned long long>(image.cols) ||
        bottom > static_cast<unsigned long long>(image.rows)) {
        std::ostringstream message;
        message << what << ": region " << x << ',' << y << ',' << width << ',' << height
                << " leaves the " << image.cols << 'x' << image.rows << " image";
        throw std::runtime_error(message.str());
    }
}

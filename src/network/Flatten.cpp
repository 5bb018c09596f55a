#include "network/Flatten.h"

#include <opencv2/core.hpp>

void Flatten::Gather() {
    if (maps == nullptr || maps->empty()) throw "Flatten: no feature maps";
    const cv::Mat& first = *(*maps)[0].image;
    if (first.cols != width || first.rows != height) throw "Flatten: Image size missmatch";
    const size_t planeSize = static_cast<size_t>(width) * height;
    if (maps->size() * planeSize != cells.size()) throw "Flatten: Image size missmatch";

    size_t k = 0;
    for (const FeatureMap& map : *maps) {
        cv::Mat& plane = *map.image;
        for (int row = 0; row < height; ++row) {
            float* rowStart = plane.ptr<float>(row);
            for (int column = 0; column < width; ++column) cells[k++] = rowStart + column;
        }
    }
}

void Flatten::Scatter(std::vector<float> values) {
    const size_t planeSize = static_cast<size_t>(width) * height;
    if (planeSize == 0 || maps == nullptr) throw "Feature map mismatch";
    const size_t mapCount = values.size() / planeSize;
    if (mapCount != maps->size()) throw "Feature map mismatch";

    for (size_t k = 0; k < mapCount; ++k) {
        cv::Mat& plane = *(*maps)[k].image;
        // Keeps the plane (and every pointer into it) when it already fits.
        plane.create(height, width, CV_32FC1);
        const float* source = values.data() + k * planeSize;
        for (int row = 0; row < height; ++row) {
            float* target = plane.ptr<float>(row);
            for (int column = 0; column < width; ++column)
                target[column] = source[row * width + column];
        }
    }
}

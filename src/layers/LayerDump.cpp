#include "layers/LayerDump.h"

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace {

#if defined(_WIN32)
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

}  // namespace

void DumpMaps(const FeatureMaps& maps, int index, std::string folder) {
    if (maps.empty()) throw "Dump: no maps";
    const int rows = maps.front().image->rows;
    const int columns = maps.front().image->cols;
    const int count = static_cast<int>(maps.size());

    cv::Mat canvas(rows, count * columns, CV_32F, cv::Scalar(0));
    for (int i = 0; i < count; ++i) {
        cv::Mat region = canvas(cv::Rect(i * columns, 0, columns, rows));
        maps[i].image->copyTo(region);
    }

    const std::string name =
        folder + kSeparator + std::to_string(index) + "_size_" + std::to_string(columns) + ".tif";
    // Diagnostics only: a folder that is missing or not writable is not an error.
    static_cast<void>(cv::imwrite(name, canvas));
}

std::string DefaultDumpFolder() {
#if defined(_WIN32)
    return "c:\\temp\\Layers";
#else
    return (std::filesystem::temp_directory_path() / "Layers").string();
#endif
}

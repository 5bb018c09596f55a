// A minimal host built against an installed Corvane: writes a network
// header into the folder given as its argument, lists the categories through
// the library, and hands it a cv::Mat to show that OpenCV came with the package.
#include <corvane.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/core.hpp>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: corvane_host FOLDER\n";
        return 2;
    }
    std::filesystem::current_path(argv[1]);
    std::ofstream("Network.data") << "32;32\n2\nx;y;\n";

    NetHandle* handle = CreateCorvane();
    if (handle == nullptr) return 1;

    std::uint32_t count = 0;
    if (!CategoryCount(handle, &count)) return 1;
    std::cout << "categories: " << count << "\n";
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[64];
        if (!GetCategory(handle, static_cast<std::int32_t>(i), name)) return 1;
        std::cout << i << ": " << name << "\n";
    }

    // Nothing is loaded, so the library must refuse the image.
    const cv::Mat image(32, 32, CV_8UC3, cv::Scalar(0, 0, 0));
    std::vector<float> scores(count);
    const bool predicted = Predict(handle, &image, 0, 0, 32, 32, scores.data());
    std::cout << "predict before load: " << (predicted ? "accepted" : "refused") << std::endl;

    return ReleaseCorvane(handle) ? 0 : 1;
}

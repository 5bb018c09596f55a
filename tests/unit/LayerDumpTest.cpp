#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "layers/LayerDump.h"
#include "support/TempDir.h"
#include "support/ThrownText.h"

namespace fs = std::filesystem;

namespace {

// Planes whose values are fractional, negative and far beyond 8 bits, so any
// scaling or blending on the way to the file shows.
class Planes {
  public:
    Planes(int count, int rows, int columns) {
        for (int i = 0; i < count; ++i) {
            planes_.emplace_back(rows, columns, CV_32F);
            for (int r = 0; r < rows; ++r) {
                for (int c = 0; c < columns; ++c) {
                    planes_.back().at<float>(r, c) = i * 1000.0f + r * 10.0f - c * 0.25f - 20.5f;
                }
            }
        }
        for (cv::Mat& plane : planes_) {
            FeatureMap map;
            map.image = &plane;
            maps_.push_back(map);
        }
    }
    const FeatureMaps& maps() const { return maps_; }

  private:
    std::vector<cv::Mat> planes_;
    FeatureMaps maps_;
};

std::vector<std::string> FileNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

}  // namespace

TEST(LayerDump, WritesMapsSideBySideAsOneFloatImage) {
    TempDir dir;
    const fs::path folder = dir.path() / "Layers";
    fs::create_directory(folder);
    const Planes planes(3, 12, 12);

    DumpMaps(planes.maps(), 0, folder.string());

    ASSERT_EQ(FileNames(folder), std::vector<std::string>{"0_size_12.tif"});
    const cv::Mat canvas = cv::imread((folder / "0_size_12.tif").string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(canvas.type(), CV_32F);
    ASSERT_EQ(canvas.rows, 12);
    ASSERT_EQ(canvas.cols, 36);
    // Columns 12i .. 12i + 11 are map i, value for value.
    for (int i = 0; i < 3; ++i) {
        const cv::Mat& plane = *planes.maps()[i].image;
        for (int r = 0; r < 12; ++r) {
            for (int c = 0; c < 12; ++c) {
                ASSERT_EQ(canvas.at<float>(r, i * 12 + c), plane.at<float>(r, c))
                    << "map " << i << " row " << r << " column " << c;
            }
        }
    }
}

TEST(LayerDump, NamesFileAfterIndexAndMapWidth) {
    TempDir dir;
    // Maps of 4 rows x 6 columns: the name carries the width, the canvas is 4 x 12.
    const Planes planes(2, 4, 6);
    DumpMaps(planes.maps(), -3, dir.path().string());

    ASSERT_EQ(FileNames(dir.path()), std::vector<std::string>{"-3_size_6.tif"});
    const cv::Mat canvas =
        cv::imread((dir.path() / "-3_size_6.tif").string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(canvas.type(), CV_32F);
    EXPECT_EQ(canvas.size(), cv::Size(12, 4));
    EXPECT_EQ(canvas.at<float>(3, 11), 1000.0f + 30.0f - 1.25f - 20.5f);  // map 1, row 3, column 5
}

TEST(LayerDump, MissingFolderWritesNothing) {
    TempDir dir;
    const Planes planes(3, 12, 12);
    const fs::path missing = dir.path() / "Layers";

    EXPECT_NO_THROW(DumpMaps(planes.maps(), 0, missing.string()));
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(FileNames(dir.path()).empty());
}

TEST(LayerDump, EmptyListIsRefused) {
    EXPECT_EQ(ThrownText([] { DumpMaps(FeatureMaps{}, 0, "."); }), "Dump: no maps");
}

TEST(LayerDump, DefaultFolderLiesInTheTemporaryDirectory) {
    EXPECT_EQ(fs::path(DefaultDumpFolder()), fs::temp_directory_path() / "Layers");
}

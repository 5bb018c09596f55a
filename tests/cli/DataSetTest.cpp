#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <stdexcept>

#include "common/DataSet.h"
#include "common/IdxFile.h"
#include "support/IdxBytes.h"
#include "support/TempDir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Three 2x3 images whose pixel k of image i is 10 * i + k.
Bytes ImageFile() {
    Bytes values;
    for (int k = 0; k < 18; ++k) values.push_back(static_cast<std::uint8_t>(k / 6 * 10 + k % 6));
    return IdxBytes({3, 2, 3}, values);
}

Bytes LabelFile(const Bytes& labels) {
    return IdxBytes({static_cast<std::uint32_t>(labels.size())}, labels);
}

void WritePlain(const std::string& name, const Bytes& bytes) {
    TempDir::WriteFile(name, std::string(bytes.begin(), bytes.end()));
}

void ExpectThreeImages(const DataSet& set) {
    ASSERT_EQ(set.Size(), 3u);
    EXPECT_EQ(set.Label(0), 2u);
    EXPECT_EQ(set.Label(1), 0u);
    EXPECT_EQ(set.Label(2), 1u);
    const cv::Mat second = set.Image(1);
    ASSERT_EQ(second.type(), CV_8UC1);
    EXPECT_EQ(cv::countNonZero(second != (cv::Mat_<std::uint8_t>(2, 3) << 10, 11, 12, 13, 14, 15)),
              0);
}

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

}  // namespace

TEST(IdxDataSet, ReadsPlainAndGzippedPairs) {
    const TempDir dir;
    WritePlain("images", ImageFile());
    WritePlain("labels", LabelFile({2, 0, 1}));
    ExpectThreeImages(DataSet::FromIdx("images", "labels", 3));

    ASSERT_TRUE(WriteGzip("images.gz", ImageFile()) &&
                WriteGzip("labels.gz", LabelFile({2, 0, 1})));
    ExpectThreeImages(DataSet::FromIdx("images.gz", "labels.gz", 3));

    const IdxFile labels = IdxFile::Read("labels.gz");
    EXPECT_EQ(labels.Dimensions(), (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(labels.Values(), (Bytes{2, 0, 1}));
}

TEST(IdxDataSet, RefusesBrokenPairs) {
    const TempDir dir;
    WritePlain("images", ImageFile());
    WritePlain("labels", LabelFile({2, 0, 1}));
    WritePlain("two-labels", LabelFile({0, 1}));
    WritePlain("big-label", LabelFile({0, 3, 1}));
    Bytes cut = ImageFile();
    cut.pop_back();
    WritePlain("cut-images", cut);
    Bytes floats = ImageFile();
    floats[2] = 0x0D;
    WritePlain("float-images", floats);
    WritePlain("not-idx", Bytes{'P', 'K', 3, 4, 0, 0, 0, 0});

    // The files and a part of the message; images and labels swapped are
    // told apart by their dimension counts.
    const std::vector<std::array<const char*, 3>> cases{
        {"images", "two-labels", "2 labels"},  {"images", "big-label", "label 3"},
        {"cut-images", "labels", "cut short"}, {"float-images", "labels", "float-images"},
        {"not-idx", "labels", "not-idx"},      {"labels", "images", "images"},
        {"missing", "labels", "missing"}};
    for (const auto& [images, labels, part] : cases) {
        const std::string message = MessageOf([&] { DataSet::FromIdx(images, labels, 3); });
        EXPECT_NE(message.find(part), std::string::npos)
            << images << " " << labels << ": " << message;
    }
}

TEST(FolderDataSet, ReadsOneSubFolderPerCategory) {
    const TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directories("data/dog");
    fs::create_directories("data/cat");
    fs::create_directories("data/.hidden");
    cv::imwrite("data/dog/b.png", cv::Mat(4, 5, CV_8UC1, cv::Scalar(200)));
    cv::imwrite("data/dog/a.png", cv::Mat(4, 5, CV_8UC3, cv::Scalar(10, 20, 30)));
    cv::imwrite("data/cat/c.png", cv::Mat(6, 2, CV_8UC1, cv::Scalar(7)));
    TempDir::WriteFile("data/cat/notes.txt", "not an image");
    TempDir::WriteFile("data/readme.txt", "ignored too");

    const DataSet set = DataSet::FromFolder("data", {"bird", "cat", "dog"});
    ASSERT_EQ(set.Size(), 3u);
    // Sorted: cat/c.png, dog/a.png, dog/b.png.
    EXPECT_EQ(set.Label(0), 1u);
    EXPECT_EQ(set.Label(1), 2u);
    EXPECT_EQ(set.Label(2), 2u);
    EXPECT_EQ(fs::path(set.Describe(1)).filename(), "a.png");
    EXPECT_EQ(set.Image(0).size(), cv::Size(2, 6));
    EXPECT_EQ(set.Image(0).type(), CV_8UC1);
    EXPECT_EQ(set.Image(1).type(), CV_8UC3);
    EXPECT_EQ(set.Image(1).at<cv::Vec3b>(3, 4), cv::Vec3b(10, 20, 30));
    EXPECT_EQ(set.Image(2).at<std::uint8_t>(0, 0), 200);
    EXPECT_EQ(set.CountPerCategory(3), (std::vector<std::size_t>{0, 1, 2}));
}

TEST(FolderDataSet, NamesWhatItCannotUse) {
    const TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directories("data/cat");
    TempDir::WriteFile("data/cat/broken.png", "not a png at all");
    // Found when its image is asked for, so that a run may go on past it.
    const std::string broken = MessageOf([] {
        DataSet::FromFolder("data", {"cat", "dog"}).Image(0);
    });
    EXPECT_NE(broken.find("broken.png"), std::string::npos) << broken;

    EXPECT_NE(MessageOf([] { DataSet::FromFolder("nowhere", {"cat"}); }).find("nowhere"),
              std::string::npos);
    EXPECT_THROW(DataSet::ReadImage("data/cat/missing.png"), std::runtime_error);
}

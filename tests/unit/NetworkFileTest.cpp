#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <limits>
#include <locale>
#include <memory>
#include <thread>

#include "network/NetworkFile.h"
#include "support/FileSizeLimit.h"
#include "support/TempDir.h"
#include "support/ThrownText.h"

namespace {

using Names = std::vector<std::string>;

struct Header {
    Names names;
    cv::Size size;
    int outputCount = -1;
};

Header ReadHeader() {
    Header header;
    NetworkFile::Read(nullptr, header.names, header.size, header.outputCount);
    return header;
}

// The names in the current folder, sorted.
Names FolderEntries() {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

WeightGroups GroupsOver(std::vector<std::vector<float>>& storage) {
    WeightGroups groups;
    for (auto& values : storage) {
        groups.emplace_back();
        for (float& value : values) groups.back().push_back(&value);
    }
    return groups;
}

}  // namespace

TEST(NetworkFileHeader, ReadsSizeCountAndNamesSplitAtSemicolons) {
    TempDir dir;
    const std::vector<std::pair<std::string, Names>> files{
        {"32;32\n3\na;b;c;\n", {"a", "b", "c"}},
        {"32;32\n3\na;b\n", {"a", "b"}},
        {"32;32\n3\na;;b;\n", {"a", "", "b"}},
        {"32;32\n3\n\n", {}},
        {"32;32\n3\n", {}},  // a file that ends after line 2 has no names
        {"32;32\r\n3\r\ncat;dog\r\n0.5;\r\n", {"cat", "dog"}},
    };
    for (const auto& [text, names] : files) {
        TempDir::WriteFile("Network.data", text);
        const Header header = ReadHeader();
        EXPECT_EQ(header.size, cv::Size(32, 32)) << text;
        EXPECT_EQ(header.outputCount, 3) << text;
        EXPECT_EQ(header.names, names) << text;
    }
}

TEST(NetworkFileWeights, StopsALineAtTextAndIgnoresSurplus) {
    TempDir dir;
    // Line 1 stops at "x"; line 2 is empty; line 3 has more values than its
    // group; line 4 has no group at all.
    TempDir::WriteFile("Network.data", "32;32\n1\na;\n0.5;x;0.7;\n\n1;2;3;\n9;9;\n");
    std::vector<std::vector<float>> storage{{-1, -1, -1}, {-1}, {-1, -1}};
    WeightGroups groups = GroupsOver(storage);
    Names names;
    cv::Size size;
    int count = 0;
    testing::internal::CaptureStdout();
    NetworkFile::Read(&groups, names, size, count);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Weights loaded:3\n");
    EXPECT_EQ(storage[0], (std::vector<float>{0.5f, -1, -1}));
    EXPECT_EQ(storage[1], (std::vector<float>{-1}));
    EXPECT_EQ(storage[2], (std::vector<float>{1, 2}));
}

TEST(NetworkFileWeights, FailedSaveKeepsThePreviousFile) {
    TempDir dir;
    const std::string previous = "32;32\n1\nold;\n0.25;\n";
    const std::vector<std::vector<float>> finite{{0.5f, 0.75f}, std::vector<float>(100, 0.125f)};
    const std::vector<std::vector<float>> infinite{{0.5f, std::numeric_limits<float>::infinity()}};
    const bool asRoot = ::geteuid() == 0;
    std::unique_ptr<FileSizeLimit> full;
    // Each fault around a save: the weights, what sets the fault up (true)
    // and takes it down again (false), and what the save prints.
    struct Case {
        const char* what;
        const std::vector<std::vector<float>>& values;
        std::function<void(bool)> fault;
        std::string printed;
    };
    const std::vector<Case> cases{
        {"a weight that is not finite", infinite, [](bool) {},
         "network not saved: a weight is not finite\n"},
        // The header (16 bytes) fits, the weight lines do not.
        {"a full disk", finite,
         [&](bool on) { full = on ? std::make_unique<FileSizeLimit>(24) : nullptr; }, ""},
        // Root ignores permissions: the save runs as "nobody" then.
        {"a read-only folder", finite,
         [&](bool on) {
             // Only root may change the folder back, and only as itself.
             if (on) ::chmod(dir.path().c_str(), 0555);
             if (asRoot) {
                 EXPECT_EQ(::seteuid(on ? 65534 : 0), 0);
             }
             if (on) {
                 EXPECT_EQ(ReadHeader().outputCount, 1);  // reading needs no write access
             }
             if (!on) ::chmod(dir.path().c_str(), 0700);
         },
         ""},
        // Nothing to replace: the folder and its content stay.
        {"a folder in its place", finite,
         [](bool on) {
             if (on) {
                 std::filesystem::rename("Network.data", "kept");
                 std::filesystem::create_directory("Network.data");
                 TempDir::WriteFile("Network.data/inside", "x");
                 return;
             }
             EXPECT_EQ(TempDir::ReadFile("Network.data/inside"), "x");
             std::filesystem::remove_all("Network.data");
             std::filesystem::rename("kept", "Network.data");
         },
         ""},
    };
    for (const Case& c : cases) {
        TempDir::WriteFile("Network.data", previous);
        std::vector<std::vector<float>> values = c.values;
        const WeightGroups groups = GroupsOver(values);
        testing::internal::CaptureStdout();
        c.fault(true);
        EXPECT_ANY_THROW(NetworkFile::Write(groups, {"new"}, cv::Size(32, 32), 1)) << c.what;
        c.fault(false);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.what;
        EXPECT_EQ(TempDir::ReadFile("Network.data"), previous) << c.what;
        EXPECT_EQ(FolderEntries(), Names{"Network.data"}) << c.what;  // no temporary file
    }
}

TEST(NetworkFileWeights, ConcurrentSavesNeverMix) {
    TempDir dir;
    // Two writers with different contents save at once, again and again;
    // the file afterwards is always one of them whole.
    std::vector<std::vector<float>> first{std::vector<float>(20000, 0.25f)};
    std::vector<std::vector<float>> second{std::vector<float>(20000, 0.5f)};
    const WeightGroups firstGroups = GroupsOver(first);
    const WeightGroups secondGroups = GroupsOver(second);
    testing::internal::CaptureStdout();
    NetworkFile::Write(firstGroups, {"one"}, cv::Size(32, 32), 1);
    const std::string firstText = TempDir::ReadFile("Network.data");
    NetworkFile::Write(secondGroups, {"two"}, cv::Size(32, 32), 1);
    const std::string secondText = TempDir::ReadFile("Network.data");
    for (int round = 0; round < 5; ++round) {
        bool otherSaved = false;
        std::thread other([&] {
            try {
                NetworkFile::Write(firstGroups, {"one"}, cv::Size(32, 32), 1);
                otherSaved = true;
            } catch (...) {
            }
        });
        EXPECT_NO_THROW(NetworkFile::Write(secondGroups, {"two"}, cv::Size(32, 32), 1));
        other.join();
        EXPECT_TRUE(otherSaved) << "round " << round;
        const std::string text = TempDir::ReadFile("Network.data");
        EXPECT_TRUE(text == firstText || text == secondText) << "round " << round;
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(FolderEntries(), Names{"Network.data"});
}

TEST(NetworkFileWeights, ReadsLinesOfAnyLengthValueByValue) {
    TempDir dir;
    // 3000 values of i / 2 ("0;0.5;1;1.5;..."): about 17 kB on one line, so
    // values cross every 4 kB chunk the reader takes. A second group follows
    // after Windows line ends; a third line, 50 MB long, feeds a group of 2.
    std::string text = "32;32\n1\na;\r\n";
    for (int i = 0; i < 3000; ++i) {
        std::ostringstream value;
        value << i * 0.5f << ";";
        text += value.str();
    }
    text += "\r\n0.25;-4e-05;\r\n";
    text += std::string(50 << 20, ' ') + "3;4;5;\n";
    TempDir::WriteFile("Network.data", text);

    std::vector<std::vector<float>> storage{std::vector<float>(3000, -1), {-1, -1, -1}, {-1, -1}};
    WeightGroups groups = GroupsOver(storage);
    Names names;
    cv::Size size;
    int count = 0;
    testing::internal::CaptureStdout();
    NetworkFile::Read(&groups, names, size, count);
    // 3000 + 2 + 2 values stored.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Weights loaded:3004\n");
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(storage[0][i], i * 0.5f) << i;
    EXPECT_EQ(storage[1], (std::vector<float>{0.25f, -4e-05f, -1}));
    EXPECT_EQ(storage[2], (std::vector<float>{3, 4}));
}

TEST(NetworkFileWeights, FormatsSixSignificantDigits) {
    // General notation: fixed while the exponent lies in -5 .. 5, scientific
    // with a signed two-digit exponent otherwise; no trailing zeros.
    const std::vector<std::pair<float, std::string>> cases{
        {0.0f, "0"},
        {-0.0f, "-0"},
        {0.5f, "0.5"},
        {0.00001f, "1e-05"},
        {0.000015f, "1.5e-05"},
        {0.123456789f, "0.123457"},
        {100000.0f, "100000"},
        {999999.5f, "1e+06"},  // rounds up to seven digits: 1e+06
        {123456789.0f, "1.23457e+08"},
        {3e38f, "3e+38"},
        // A denormal has fewer bits: the nearest to 1e-40 is 71362 * 2^-149
        // = 9.99994610e-41.
        {1e-40f, "9.99995e-41"},
    };
    NetworkFile::WeightText buffer;
    for (const auto& [value, text] : cases)
        EXPECT_EQ(NetworkFile::FormatWeight(value, buffer), text);
}

namespace {

// A host's locale that groups thousands with "." and writes a decimal comma.
struct CommaNumbers : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

}  // namespace

TEST(NetworkFileWeights, TextDoesNotFollowTheHostsLocale) {
    TempDir dir;
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new CommaNumbers));
    std::vector<std::vector<float>> storage{{0.5f, 1234.5f}};
    WeightGroups groups = GroupsOver(storage);
    testing::internal::CaptureStdout();
    NetworkFile::Write(groups, {"a"}, cv::Size(4096, 2048), 1000);
    storage = {{-1.0f, -1.0f}};
    groups = GroupsOver(storage);
    Names names;
    cv::Size size;
    int count = 0;
    NetworkFile::Read(&groups, names, size, count);
    testing::internal::GetCapturedStdout();
    std::locale::global(previous);

    // No "4.096", no "1.000", no "0,5".
    EXPECT_EQ(TempDir::ReadFile("Network.data"), "4096;2048\n1000\na;\n0.5;1234.5;\n");
    EXPECT_EQ(size, cv::Size(4096, 2048));
    EXPECT_EQ(count, 1000);
    EXPECT_EQ(storage[0], (std::vector<float>{0.5f, 1234.5f}));
}

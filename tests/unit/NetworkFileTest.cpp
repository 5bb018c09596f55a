#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <locale>
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

TEST(NetworkFileHeader, WritesThreeLines) {
    std::ostringstream out;
    NetworkFile::WriteHeader(out, {"cat", "dog"}, cv::Size(64, 48), 2);
    EXPECT_EQ(out.str(), "64;48\n2\ncat;dog;\n");

    std::ostringstream none;
    NetworkFile::WriteHeader(none, {}, cv::Size(32, 32), -3);
    EXPECT_EQ(none.str(), "32;32\n-3\n\n");
}

TEST(NetworkFileHeader, SplitsCategoryLineAtSemicolons) {
    TempDir dir;
    TempDir::WriteFile("Network.data", "32;32\n3\na;b;c;\n");
    Header header = ReadHeader();
    EXPECT_EQ(header.size, cv::Size(32, 32));
    EXPECT_EQ(header.outputCount, 3);
    EXPECT_EQ(header.names, (Names{"a", "b", "c"}));

    TempDir::WriteFile("Network.data", "32;32\n3\na;b\n");
    EXPECT_EQ(ReadHeader().names, (Names{"a", "b"}));
    TempDir::WriteFile("Network.data", "32;32\n3\na;;b;\n");
    EXPECT_EQ(ReadHeader().names, (Names{"a", "", "b"}));
    TempDir::WriteFile("Network.data", "32;32\n3\n\n");
    EXPECT_TRUE(ReadHeader().names.empty());
    // A file that ends after line 2 simply has no names.
    TempDir::WriteFile("Network.data", "32;32\n3\n");
    EXPECT_TRUE(ReadHeader().names.empty());
}

TEST(NetworkFileHeader, StripsCarriageReturns) {
    TempDir dir;
    TempDir::WriteFile("Network.data", "64;48\r\n2\r\ncat;dog\r\n0.5;\r\n");
    Header header = ReadHeader();
    EXPECT_EQ(header.size, cv::Size(64, 48));
    EXPECT_EQ(header.names, (Names{"cat", "dog"}));
}

TEST(NetworkFileHeader, MissingFilePrintsThrowsAndKeepsNames) {
    TempDir dir;
    Names names{"kept"};
    cv::Size size;
    int count = 0;
    testing::internal::CaptureStdout();
    std::string thrown = ThrownText([&] { NetworkFile::Read(nullptr, names, size, count); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open network file error\n");
    EXPECT_EQ(thrown, "open network file error");
    EXPECT_EQ(names, Names{"kept"});
}

TEST(NetworkFileHeader, RefusesLinesWithoutIntegers) {
    TempDir dir;
    for (const char* text :
         {"", "32\n3\na;\n", "x;32\n3\na;\n", "32;32\n\na;\n", "32;32\nthree\na;\n"}) {
        TempDir::WriteFile("Network.data", text);
        Names names{"kept"};
        cv::Size size(7, 7);
        int count = 7;
        testing::internal::CaptureStdout();
        std::string thrown = ThrownText([&] { NetworkFile::Read(nullptr, names, size, count); });
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(thrown, "") << "file: " << text;
        EXPECT_EQ(printed, thrown + "\n");
        EXPECT_EQ(names, Names{"kept"});
        EXPECT_EQ(size, cv::Size(7, 7));
        EXPECT_EQ(count, 7);
    }
}

TEST(NetworkFileWeights, WritesOneLinePerGroupAndReadsBack) {
    TempDir dir;
    // Two kernel groups of 4 and a dense group of (8 + 1) x 3 = 27 values.
    std::vector<std::vector<float>> storage{std::vector<float>(4), std::vector<float>(4),
                                            std::vector<float>(27)};
    float next = 0.0f;
    for (auto& values : storage)
        for (float& value : values) value = (next += 0.125f);
    storage[0][0] = 0.000015f;
    storage[0][1] = 0.123456789f;
    WeightGroups groups = GroupsOver(storage);

    testing::internal::CaptureStdout();
    NetworkFile::Write(groups, {"a", "b", "c"}, cv::Size(32, 32), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Weights saved:35\n");

    std::string text = TempDir::ReadFile("Network.data");
    EXPECT_EQ(text.substr(0, text.find('\n', text.find("a;b;c;"))), "32;32\n3\na;b;c;");
    EXPECT_NE(text.find("\n1.5e-05;0.123457;0.375;0.5;\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);
    EXPECT_EQ(FolderEntries(), Names{"Network.data"});  // no temporary file left

    std::vector<std::vector<float>> loaded{std::vector<float>(4), std::vector<float>(4),
                                           std::vector<float>(27)};
    WeightGroups loadGroups = GroupsOver(loaded);
    Names names;
    cv::Size size;
    int count = 0;
    testing::internal::CaptureStdout();
    NetworkFile::Read(&loadGroups, names, size, count);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Weights loaded:35\n");
    EXPECT_EQ(loaded[0][1], 0.123457f);  // six significant digits, not the exact value
    EXPECT_EQ(loaded[0][0], 0.000015f);
    EXPECT_EQ(loaded[2], storage[2]);
    EXPECT_EQ(names, (Names{"a", "b", "c"}));
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
    TempDir::WriteFile("Network.data", previous);
    std::vector<std::vector<float>> storage{{0.5f, std::numeric_limits<float>::infinity()}};
    WeightGroups groups = GroupsOver(storage);

    testing::internal::CaptureStdout();
    std::string thrown =
        ThrownText([&] { NetworkFile::Write(groups, {"new"}, cv::Size(32, 32), 1); });
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(thrown, "");
    EXPECT_EQ(printed, thrown + "\n");
    EXPECT_EQ(TempDir::ReadFile("Network.data"), previous);

    // A full disk: the header (16 bytes) fits, the weight line does not.
    // The stream fails, nothing is replaced and no temporary file stays.
    storage[0][1] = 0.75f;
    storage.push_back(std::vector<float>(100, 0.125f));
    groups = GroupsOver(storage);
    testing::internal::CaptureStdout();
    {
        FileSizeLimit full(24);
        EXPECT_THROW(NetworkFile::Write(groups, {"new"}, cv::Size(32, 32), 1), std::exception);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(TempDir::ReadFile("Network.data"), previous);
    EXPECT_EQ(FolderEntries(), Names{"Network.data"});
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

TEST(NetworkFileHeader, RefusesOverlongLinesAndOddFiles) {
    TempDir dir;
    // Lines 1 and 2 may hold 256 bytes (plus a final "\r"); one more is refused.
    const std::string padded = "32;32" + std::string(251, ' ');
    TempDir::WriteFile("Network.data", padded + "\r\n2" + std::string(255, ' ') + "\na;\n");
    EXPECT_EQ(ReadHeader().size, cv::Size(32, 32));
    for (const std::string& text :
         {padded + " \n2\na;\n", "32;32\n2" + std::string(256, ' ') + "\na;\n",
          std::string(1 << 20, '7')}) {
        TempDir::WriteFile("Network.data", text);
        Names names{"kept"};
        cv::Size size(7, 7);
        int count = 7;
        testing::internal::CaptureStdout();
        EXPECT_EQ(ThrownText([&] { NetworkFile::Read(nullptr, names, size, count); }),
                  "network file error: a header line is too long");
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "network file error: a header line is too long\n");
        EXPECT_EQ(names, Names{"kept"});
        EXPECT_EQ(size, cv::Size(7, 7));
    }

    // 100000 outputs and 16 names more is the most a file may name: one more
    // is refused, even though the line is short (200 kB of "x;").
    std::string names100016;
    for (int i = 0; i < 100016; ++i) names100016 += "x;";
    TempDir::WriteFile("Network.data", "32;32\n2\n" + names100016 + "\n");
    EXPECT_EQ(ReadHeader().names.size(), 100016u);
    TempDir::WriteFile("Network.data", "32;32\n2\n" + names100016 + "x;\n");
    {
        Names names{"kept"};
        cv::Size size;
        int count = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(ThrownText([&] { NetworkFile::Read(nullptr, names, size, count); }),
                  "network file error: too many category names");
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "network file error: too many category names\n");
        EXPECT_EQ(names, Names{"kept"});
    }

    // Anything but a plain file counts as no file: a folder, a pipe (whose
    // open would wait for a writer) and an endless device.
    std::filesystem::remove("Network.data");
    std::filesystem::create_directory("Network.data");
    std::string thrown;
    Names names;
    cv::Size size;
    int count = 0;
    testing::internal::CaptureStdout();
    thrown = ThrownText([&] { NetworkFile::Read(nullptr, names, size, count); });
    std::filesystem::remove("Network.data");
    ASSERT_EQ(::mkfifo("Network.data", 0600), 0);
    thrown += ThrownText([&] { NetworkFile::Read(nullptr, names, size, count); });
    std::filesystem::remove("Network.data");
    std::filesystem::create_symlink("/dev/zero", "Network.data");
    thrown += ThrownText([&] { NetworkFile::Read(nullptr, names, size, count); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "open network file error\nopen network file error\nopen network file error\n");
    EXPECT_EQ(thrown, "open network file erroropen network file erroropen network file error");
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
        {0.05f, "0.05"},
        {0.0001f, "0.0001"},
        {0.00001f, "1e-05"},
        {0.000015f, "1.5e-05"},
        {0.123456789f, "0.123457"},
        {-2.5f, "-2.5"},
        {100000.0f, "100000"},
        {999999.0f, "999999"},
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

#include <gtest/gtest.h>

#include "network/NetworkLimits.h"

namespace {

// The printed line for a header, or "" when it is accepted.
std::string Refusal(cv::Size size, int outputs, std::vector<std::string> names = {}) {
    testing::internal::CaptureStdout();
    try {
        NetworkLimits::Check(size, outputs, names);
    } catch (const char* text) {
        std::string line = testing::internal::GetCapturedStdout();
        EXPECT_EQ(line.rfind(std::string(text) + ": ", 0), 0u) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        return line;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    return "";
}

}  // namespace

TEST(NetworkLimits, AcceptsWhatTheNetworkCanBuild) {
    EXPECT_EQ(Refusal(cv::Size(32, 32), 1), "");
    EXPECT_EQ(Refusal(cv::Size(64, 96), 10, {"a", "b"}), "");
    EXPECT_EQ(Refusal(cv::Size(512, 512), 10), "");
    EXPECT_EQ(Refusal(cv::Size(32, 32), 100000), "");
    // Up to 16 names more than outputs is tolerated, as are names of 1024 bytes.
    EXPECT_EQ(Refusal(cv::Size(32, 32), 1, std::vector<std::string>(17, std::string(1024, 'x'))),
              "");
}

TEST(NetworkLimits, RefusesWithOneLineNamingTheProblem) {
    EXPECT_NE(Refusal(cv::Size(16, 32), 1).find("16x32"), std::string::npos);
    EXPECT_NE(Refusal(cv::Size(32, 8), 1), "");
    EXPECT_NE(Refusal(cv::Size(4128, 32), 1), "");
    EXPECT_NE(Refusal(cv::Size(-32, 32), 1), "");
    EXPECT_NE(Refusal(cv::Size(48, 64), 1).find("multiple of 32"), std::string::npos);
    EXPECT_NE(Refusal(cv::Size(64, 80), 1), "");
    EXPECT_NE(Refusal(cv::Size(32, 32), 0).find("output count 0"), std::string::npos);
    EXPECT_NE(Refusal(cv::Size(32, 32), -5), "");
    EXPECT_NE(Refusal(cv::Size(32, 32), 100001), "");
    EXPECT_NE(Refusal(cv::Size(32, 32), 1, std::vector<std::string>(18, "n")), "");
    EXPECT_NE(Refusal(cv::Size(32, 32), 1, {std::string(1025, 'x')}).find("1024"),
              std::string::npos);
    // Within the side limits but far beyond any sane memory use.
    EXPECT_NE(Refusal(cv::Size(4096, 4096), 10).find("MiB"), std::string::npos);
}

TEST(NetworkLimits, EstimateGrowsWithTheInput) {
    // Four times the pixels costs at least three times the memory; the
    // classifier grows with the output count.
    const auto small = NetworkLimits::EstimateBytes(cv::Size(64, 64), 10);
    EXPECT_GT(NetworkLimits::EstimateBytes(cv::Size(128, 128), 10), 3 * small);
    EXPECT_GT(NetworkLimits::EstimateBytes(cv::Size(64, 64), 10000), small + 2048ull * 9990 * 24);
}

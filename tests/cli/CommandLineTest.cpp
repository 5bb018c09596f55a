#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "support/TempDir.h"

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunCli(std::vector<std::string> args) {
    args.insert(args.begin(), "corvane");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    std::ostringstream out, err;
    const int status = CommandLine(out, err).Run(static_cast<int>(argv.size()), argv.data());
    return {status, out.str(), err.str()};
}

// One line naming the problem, and nothing else on the error stream.
void ExpectOneLineError(const Outcome& outcome, int status, const std::string& mention) {
    EXPECT_EQ(outcome.status, status) << outcome.err;
    EXPECT_EQ(outcome.err.find("corvane: "), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find(mention), std::string::npos) << outcome.err;
    ASSERT_FALSE(outcome.err.empty());
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
}

}  // namespace

TEST(CommandLine, InitRefusesBadArgumentsBeforeTouchingAnything) {
    const TempDir dir;
    ExpectOneLineError(RunCli({"init", "--size", "48x32", "--categories", "a,b"}), 2, "48");
    ExpectOneLineError(RunCli({"init", "--size", "16x16", "--categories", "a,b"}), 2, "16");
    ExpectOneLineError(RunCli({"init", "--size", "32by32", "--categories", "a,b"}), 2, "32by32");
    ExpectOneLineError(RunCli({"init", "--size", "32x32"}), 2, "categories");
    ExpectOneLineError(RunCli({"init", "--categories", "a"}), 2, "--size");
    ExpectOneLineError(RunCli({"init", "--size", "32x32", "--categories", "a;b,c"}), 2, "a;b");
    ExpectOneLineError(
        RunCli({"init", "--size", "32x32", "--categories", "a", "--categories-file", "names.txt"}),
        2, "either");
    ExpectOneLineError(RunCli({"init", "--size", "32x32", "--categories-file", "names.txt"}), 1,
                       "names.txt");
    EXPECT_FALSE(std::filesystem::exists("Network.data"));
}

TEST(CommandLine, InitKeepsAnExistingNetworkWithoutForce) {
    const TempDir dir;
    std::filesystem::create_directory("net");
    TempDir::WriteFile("net/Network.data", "32;32\n1\nold;\n");
    ExpectOneLineError(
        RunCli({"init", "--network", "net", "--size", "32x32", "--categories", "a,b"}), 2,
        "--force");
    EXPECT_EQ(TempDir::ReadFile("net/Network.data"), "32;32\n1\nold;\n");
}

TEST(CommandLine, RejectsUnusableRequests) {
    const TempDir dir;
    ExpectOneLineError(RunCli({}), 2, "subcommand");
    ExpectOneLineError(RunCli({"fly"}), 2, "fly");
    ExpectOneLineError(RunCli({"categories", "--network", "nowhere"}), 1, "nowhere");
    ExpectOneLineError(RunCli({"categories"}), 1, "Network.data");
    ExpectOneLineError(RunCli({"train", "--epochs", "0", "data"}), 2, "epochs");
    ExpectOneLineError(RunCli({"train"}), 2, "either");
    ExpectOneLineError(RunCli({"train", "--learning-rate", "0", "data"}), 2, "--learning-rate");
    ExpectOneLineError(RunCli({"train", "--learning-rate", "1.5", "data"}), 2, "--learning-rate");
    ExpectOneLineError(RunCli({"train", "--final-rate", "0.1", "data"}), 2, "--learning-rate");
    ExpectOneLineError(RunCli({"train", "--keep-best", "data"}), 2, "--validate");
    ExpectOneLineError(RunCli({"eval", "--idx-images", "a"}), 2, "--idx-labels");
    ExpectOneLineError(RunCli({"predict", "--region", "1,2,3", "x.png"}), 2, "1,2,3");
    ExpectOneLineError(RunCli({"predict", "missing.png"}), 1, "missing.png");
    ExpectOneLineError(RunCli({"predict", "--top", "0", "missing.png"}), 2, "--top");
    cv::imwrite("small.png", cv::Mat(10, 10, CV_8UC1, cv::Scalar(1)));
    ExpectOneLineError(RunCli({"predict", "--region", "5,5,6,5", "small.png"}), 1, "small.png");
}

TEST(CommandLine, TrainNamesFoldersThatAreNoCategory) {
    const TempDir dir;
    TempDir::WriteFile("Network.data", "32;32\n2\ncat;dog;\n");
    std::filesystem::create_directories("data/cat");
    std::filesystem::create_directories("data/horse");
    const Outcome outcome = RunCli({"train", "data"});
    ExpectOneLineError(outcome, 1, "horse");
    EXPECT_NE(outcome.err.find("category of the network: horse ("), std::string::npos)
        << outcome.err;
}

TEST(CommandLine, ListsCategories) {
    const TempDir dir;
    std::filesystem::create_directory("net");
    TempDir::WriteFile("net/Network.data", "32;32\n3\ncat;dog;bird;\n");
    const Outcome outcome = RunCli({"categories", "--network", "net"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "cat\ndog\nbird\n");
    EXPECT_EQ(outcome.err, "");
}

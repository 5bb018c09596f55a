#include <gtest/gtest.h>

#include <algorithm>
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

TEST(CommandLine, ShowsVersionAndHelp) {
    const std::string version = RunCli({"--version"}).out;  // "corvane 1.2.3\n"
    EXPECT_EQ(version.rfind("corvane ", 0), 0u) << version;
    EXPECT_EQ(version.find_first_not_of("0123456789.", 8), version.size() - 1) << version;
    for (const auto& [args, usage] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--help"}, "corvane [OPTIONS] SUBCOMMAND"},
             {{"help"}, "corvane [OPTIONS] SUBCOMMAND"},
             {{"help", "predict"}, "corvane predict [OPTIONS] IMAGE"},
             {{"eval", "--help"}, "corvane eval [OPTIONS] [DATA]"}}) {
        const Outcome help = RunCli(args);
        EXPECT_EQ(help.status, 0) << args[0];
        EXPECT_NE(help.out.find("Usage: " + usage), std::string::npos) << help.out;
    }
    ExpectOneLineError(RunCli({"help", "fly"}), 2, "fly");
}

TEST(CommandLine, RefusesUnusableRequestsWithOneLineAndTouchesNothing) {
    const TempDir dir;
    std::filesystem::create_directories("net");
    TempDir::WriteFile("net/Network.data", "32;32\n2\ncat;dog;\n");
    std::filesystem::create_directories("data/cat");
    std::filesystem::create_directories("data/horse");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string mention;
    };
    const std::vector<Case> cases{
        {{}, 2, "subcommand"},
        {{"fly"}, 2, "fly"},
        {{"help", "fly"}, 2, "fly"},
        {{"init", "--size", "48x32", "--categories", "a,b"}, 2, "48"},
        {{"init", "--size", "16x16", "--categories", "a,b"}, 2, "16"},
        {{"init", "--size", "32by32", "--categories", "a,b"}, 2, "32by32"},
        {{"init", "--size", "32x32"}, 2, "categories"},
        {{"init", "--categories", "a"}, 2, "--size"},
        {{"init", "--size", "32x32", "--categories", "a;b,c"}, 2, "a;b"},
        {{"init", "--size", "32x32", "--categories", "a", "--categories-file", "names.txt"},
         2,
         "exactly one"},
        {{"init", "--size", "32x32", "--categories-file", "names.txt"}, 1, "names.txt"},
        // An existing network stays without --force, and with it when the
        // library refuses the new one.
        {{"init", "--network", "net", "--size", "32x32", "--categories", "a,b"}, 2, "--force"},
        {{"init", "--network", "net", "--size", "2048x2048", "--categories", "a,b", "--force"},
         1,
         "MiB"},
        {{"categories", "--network", "nowhere"}, 1, "nowhere"},
        {{"categories"}, 1, "Network.data"},
        {{"train", "--network", "net", "data"}, 1, "category of the network: horse ("},
        {{"train", "--epochs", "0", "data"}, 2, "epochs"},
        {{"train"}, 2, "either"},
        {{"train", "--learning-rate", "0", "data"}, 2, "--learning-rate"},
        {{"train", "--learning-rate", "1.5", "data"}, 2, "--learning-rate"},
        {{"train", "--final-rate", "0.1", "data"}, 2, "--learning-rate"},
        {{"train", "--keep-best", "data"}, 2, "--validate"},
        {{"eval", "--idx-images", "a"}, 2, "--idx-labels"},
        {{"predict", "--region", "1,2,3", "x.png"}, 2, "1,2,3"},
        {{"predict", "missing.png"}, 1, "corvane init"},
        {{"predict", "--top", "0", "missing.png"}, 2, "--top"},
        // No count is negative (an unsigned option would take -5 for "all").
        {{"eval", "--limit", "-5", "x"}, 2, "--limit: "},
        {{"train", "--seed", "-5", "x"}, 2, "--seed: "},
        {{"predict", "--top", "-5", "x"}, 2, "--top: "},
        {{"train", "--epochs", "-5", "x"}, 2, "--epochs: "},
        {{"train", "--validate", "-5", "x"}, 2, "--validate: "},
    };
    for (const Case& c : cases) ExpectOneLineError(RunCli(c.args), c.status, c.mention);
    EXPECT_FALSE(std::filesystem::exists("Network.data"));
    EXPECT_EQ(TempDir::ReadFile("net/Network.data"), "32;32\n2\ncat;dog;\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("net"), {}), 1);
}

TEST(CommandLine, InitTakesCategoriesFromAFileOrADataSet) {
    const TempDir dir;
    const auto initFrom = [](const char* option, const char* source) {
        return RunCli({"init", "--force", "--quiet", "--size", "32x32", option, source}).status;
    };
    // A category whose name cannot be a folder's is found under the folder given.
    TempDir::WriteFile("names.txt", "T-shirt/top = tshirt\nbag\n");
    ASSERT_EQ(initFrom("--categories-file", "names.txt"), 0);
    std::filesystem::create_directories("data/tshirt");
    cv::imwrite("data/tshirt/1.png", cv::Mat(32, 32, CV_8UC1, cv::Scalar(90)));
    EXPECT_EQ(RunCli({"train", "--quiet", "data"}).status, 0);
    EXPECT_EQ(RunCli({"categories"}).out, "T-shirt/top\nbag\n");
    // The folder names of a data set, or the label values of an IDX label file.
    ASSERT_EQ(initFrom("--categories-from", "data"), 0);
    EXPECT_EQ(RunCli({"categories"}).out, "tshirt\n");
    EXPECT_FALSE(std::filesystem::exists("category-folders.txt"));
    TempDir::WriteFile("labels", std::string("\0\0\x08\x01\0\0\0\x02\x02\0", 10));
    ASSERT_EQ(initFrom("--categories-from", "labels"), 0);
    EXPECT_EQ(RunCli({"categories"}).out, "0\n1\n2\n");
}

TEST(CommandLine, PredictNamesEachFailingImageAndRefusesACutNetwork) {
    const TempDir dir;
    ASSERT_EQ(RunCli({"init", "--size", "32x32", "--categories", "a,b", "--threads", "1"}).status,
              0);
    cv::imwrite("good.png", cv::Mat(32, 32, CV_8UC1, cv::Scalar(90)));
    cv::imwrite("thin.png", cv::Mat(1, 100, CV_8UC1, cv::Scalar(90)));  // no row left at 32x32
    TempDir::WriteFile("bad.png", "not a png");
    // One line per failing image, naming it and why; the others get their results.
    const Outcome run =
        RunCli({"predict", "--quiet", "good.png", "bad.png", "thin.png", "no.png", "good.png"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2 * 3) << run.out;
    for (const char* why : {"bad.png: not an image", "thin.png: too thin", "no.png: not found"})
        EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 3) << run.err;
    ExpectOneLineError(RunCli({"predict", "--quiet", "--region", "5,5,30,30", "good.png"}), 1,
                       "good.png: region 5,5,30,30 leaves");

    // The first 100 lines: the header and 97 kernels of the 831154 weights
    // (830128 in the convolutions, (512 inputs + 1) x 2 in the dense stack).
    std::string cut = TempDir::ReadFile("Network.data");
    std::size_t end = 0;
    for (int line = 0; line < 100; ++line) end = cut.find('\n', end) + 1;
    cut.resize(end);
    TempDir::WriteFile("Network.data", cut);
    const auto values = std::count(cut.begin(), cut.end(), ';') - 3;  // "32;32", "a;b;"
    ExpectOneLineError(RunCli({"predict", "good.png"}), 1,
                       std::to_string(values) + " of the 831154 weights");
    EXPECT_EQ(RunCli({"predict", "--allow-incomplete", "--quiet", "good.png"}).status, 0);
}

TEST(CommandLine, TrainStopsAtAnUnreadableImageAndEvalGoesOn) {
    const TempDir dir;
    ASSERT_EQ(RunCli({"init", "--size", "32x32", "--categories", "a,b", "--threads", "1"}).status,
              0);
    const std::string untrained = TempDir::ReadFile("Network.data");
    std::filesystem::create_directories("data/a");
    std::filesystem::create_directories("data/b");
    cv::Mat image(32, 32, CV_8UC1);
    for (const char* name : {"data/a/1.png", "data/a/2.png", "data/b/3.png", "data/b/4.png"}) {
        cv::randu(image, 0, 256);
        cv::imwrite(name, image);
    }
    TempDir::WriteFile("data/b/bad.png", "damaged");
    // Seed 1 puts bad.png third: the two samples before it are trained and saved.
    ExpectOneLineError(RunCli({"train", "--quiet", "data"}), 1,
                       "bad.png: not an image, or damaged; network saved after 2 of 5 samples");
    EXPECT_NE(TempDir::ReadFile("Network.data"), untrained);
    // Held out to validate (seed 1 holds bad.png out), it stops the run after
    // the epoch's training has been saved.
    TempDir::WriteFile("Network.data", untrained);
    ExpectOneLineError(RunCli({"train", "--quiet", "--validate", "4", "data"}), 1,
                       "bad.png: not an image, or damaged; network saved after 1 of 1 samples");
    EXPECT_NE(TempDir::ReadFile("Network.data"), untrained);
    // Passed over with --skip-unreadable, and listed at the end.
    const std::string bad = (std::filesystem::current_path() / "data/b/bad.png").string();
    for (const char* command : {"train", "eval"}) {
        const Outcome run = RunCli({command, "--quiet", "--skip-unreadable", "data"});
        EXPECT_EQ(run.status, 0) << command << run.err;
        EXPECT_EQ(run.err, "corvane: skipped 1 unreadable image(s):\n  " + bad +
                               ": not an image, or damaged\n");
    }
    // Without it, eval gives the image one line and the others their results.
    const Outcome run = RunCli({"eval", "--quiet", "data"});
    ExpectOneLineError(run, 1, "bad.png: not an image");
    EXPECT_NE(run.out.find(" of 4)"), std::string::npos) << run.out;
}

// Runs the built `corvane` program as a user would, on a tiny generated data
// set: horizontal against vertical stripes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/IdxBytes.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Starts the program with its output going to files in the current folder.
pid_t Start(const std::vector<std::string>& args, const std::string& name) {
    std::vector<std::string> all{CORVANE_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (name + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (name + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

// Exit status, or -signal when killed by one; -1000 when it had to be killed.
int Wait(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1000;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Waits until done() holds, polling; false when it still fails after 60 s.
template <typename Done>
bool WaitUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

Outcome RunProgram(const std::vector<std::string>& args) {
    const pid_t pid = Start(args, "run");
    if (pid < 0) return {-1, "", "could not start"};
    const int status = Wait(pid, 60);
    return {status, TempDir::ReadFile("run.out"), TempDir::ReadFile("run.err")};
}

// 32x32 stripes four pixels wide, shifted by offset, with the light stripes
// at level light.
cv::Mat Stripes(bool horizontal, int offset, int light) {
    cv::Mat image(32, 32, CV_8UC1, cv::Scalar(20));
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const int along = horizontal ? y : x;
            if (((along + offset) / 4) % 2 == 0)
                image.at<std::uint8_t>(y, x) = static_cast<std::uint8_t>(light);
        }
    }
    return image;
}

void MakeFolderSet(const fs::path& root, int perCategory) {
    fs::create_directories(root / "horizontal");
    fs::create_directories(root / "vertical");
    for (int i = 0; i < perCategory; ++i) {
        const int light = 150 + (i * 37) % 100;
        cv::imwrite((root / "horizontal" / ("h" + std::to_string(i) + ".png")).string(),
                    Stripes(true, i % 8, light));
        cv::imwrite((root / "vertical" / ("v" + std::to_string(i) + ".png")).string(),
                    Stripes(false, i % 8, light));
    }
}

// count 28x28 images, alternately horizontal (label 0) and vertical (label 1).
void MakeIdxSet(const std::string& images, const std::string& labels, std::uint32_t count) {
    std::vector<std::uint8_t> pixels, labelValues;
    for (std::uint32_t i = 0; i < count; ++i) {
        const cv::Mat stripes =
            Stripes(i % 2 == 0, static_cast<int>(i % 8), 200)(cv::Rect(0, 0, 28, 28)).clone();
        pixels.insert(pixels.end(), stripes.datastart, stripes.dataend);
        labelValues.push_back(static_cast<std::uint8_t>(i % 2));
    }
    ASSERT_TRUE(WriteGzip(images, IdxBytes({count, 28, 28}, pixels)));
    ASSERT_TRUE(WriteGzip(labels, IdxBytes({count}, labelValues)));
}

std::vector<std::string> SortedRows(const std::string& text, std::string* header = nullptr);

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(EndToEnd, InitTrainEvalPredictAndList) {
    const TempDir dir;
    MakeFolderSet("data", 4);

    Outcome run = RunProgram({"init", "--network", "net", "--size", "32x32", "--threads", "2",
                              "--categories", "horizontal,vertical"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_TRUE(fs::exists("net/Network.data"));
    const std::string header = "32;32\n2\nhorizontal;vertical;\n";
    EXPECT_EQ(TempDir::ReadFile("net/Network.data").substr(0, header.size()), header);

    run = RunProgram({"categories", "--network", "net"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "horizontal\nvertical\n");

    run = RunProgram({"train", "data", "--network", "net", "--epochs", "1", "--threads", "2"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "Training on 8 samples")) << run.out;
    const std::string csv = TempDir::ReadFile("net/loss.csv");
    const std::string firstRun =
        "run,epoch,samples,learning_rate,mean_loss,validation_accuracy\n1,1,8,,";
    EXPECT_EQ(csv.substr(0, firstRun.size()), firstRun) << csv;
    EXPECT_FALSE(cv::imread("net/loss.png").empty());

    run = RunProgram({"eval", "data", "--network", "net"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "accuracy: ")) << run.out;
    EXPECT_TRUE(Contains(run.out, " of 8)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "confusion matrix")) << run.out;
    EXPECT_FALSE(cv::imread("net/confusion.png").empty());

    // Standard output carries the results alone; the library's own lines go
    // to standard error, or nowhere with --quiet.
    for (const bool quiet : {false, true}) {
        run = RunProgram({"predict", "--network", "net", "--top", "2",
                          quiet ? "--quiet" : "--threads=2", "data/vertical/v1.png"});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 3) << run.out;
        EXPECT_TRUE(Contains(run.out, "v1.png\n  1. ") && Contains(run.out, "\n  2. ")) << run.out;
        EXPECT_EQ(Contains(run.err, "Weights loaded:"), !quiet) << run.err;
        EXPECT_EQ(run.err.empty(), quiet) << run.err;
    }

    // JSON alone on standard output: the library's own lines go to standard error.
    run = RunProgram({"predict", "--network", "net", "--json", "--top", "1", "--region",
                      "0,0,16,16", "data/vertical/v1.png", "data/horizontal/h2.png"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const nlohmann::json results = nlohmann::json::parse(run.out);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(Contains(results[1]["image"].get<std::string>(), "h2.png"));
    ASSERT_EQ(results[0]["top"].size(), 1u);
    const float score = results[0]["top"][0]["score"].get<float>();
    EXPECT_GE(score, 0.0f);
    EXPECT_LE(score, 1.0f);

    // Two held out, a loss point every three samples; the history of the
    // first run stays.
    MakeIdxSet("images.gz", "labels.gz", 8);
    fs::copy_file("net/Network.data", "start.data");
    const std::vector<std::string> idx{"train",     "--network",    "net",       "--idx-images",
                                       "images.gz", "--idx-labels", "labels.gz", "--seed",
                                       "5",         "--loss-every", "3"};
    const auto train = [&](std::vector<std::string> more) {
        more.insert(more.begin(), idx.begin(), idx.end());
        return RunProgram(more);
    };
    run = train({"--validate", "2", "--learning-rate", "0.04", "--epochs", "3", "--keep-best"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "Training on 6 samples")) << run.out;
    EXPECT_TRUE(Contains(run.out, "epoch 3: validation accuracy ")) << run.out;
    std::vector<std::string> rows = SortedRows(TempDir::ReadFile("net/loss.csv"));
    ASSERT_EQ(rows.size(), 7u);  // one of run 1, two per epoch of run 2
    EXPECT_EQ(rows[1].substr(0, 11), "2,1,3,0.04,") << rows[1];
    EXPECT_EQ(rows[6].substr(0, 11), "2,3,18,0.04") << rows[6];
    EXPECT_NE(rows[6].back(), ',') << rows[6];  // the epoch's accuracy
    EXPECT_EQ(rows[5].back(), ',') << rows[5];  // none within an epoch
    // The network left is the one a run stopping at the best epoch leaves.
    const size_t at = run.out.find("Network.data holds epoch ");
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::string kept = TempDir::ReadFile("net/Network.data");
    fs::copy_file("start.data", "net/Network.data", fs::copy_options::overwrite_existing);
    ASSERT_EQ(train({"--validate", "2", "--learning-rate", "0.04", "--epochs",
                     run.out.substr(at + 25, 1)})
                  .status,
              0);
    EXPECT_TRUE(TempDir::ReadFile("net/Network.data") == kept);
    // A falling rate: 0.04 x (0.01 / 0.04)^(3 / 6) = 0.02 from sample 3 on.
    ASSERT_EQ(train({"--validate", "2", "--learning-rate", "0.04", "--final-rate", "0.01"}).status,
              0);
    rows = SortedRows(TempDir::ReadFile("net/loss.csv"));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[rows.size() - 2].substr(0, 11), "4,1,3,0.04,") << rows[rows.size() - 2];
    EXPECT_EQ(rows.back().substr(0, 11), "4,1,6,0.02,") << rows.back();
}

TEST(EndToEnd, CtrlCStopsTrainingWithASavedNetwork) {
    const TempDir dir;
    MakeIdxSet("images.gz", "labels.gz", 20);
    ASSERT_EQ(RunProgram({"init", "--size", "32x32", "--categories", "horizontal,vertical"}).status,
              0);
    const std::string untrained = TempDir::ReadFile("Network.data");

    // Far more epochs than it could finish before the signal.
    const pid_t pid = Start(
        {"train", "--idx-images", "images.gz", "--idx-labels", "labels.gz", "--epochs", "100000"},
        "train");
    ASSERT_GT(pid, 0);
    // Signalled once an epoch is done, so that there is training to save.
    EXPECT_TRUE(WaitUntil([] { return fs::exists("loss.csv"); }));
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid, 30), 130) << TempDir::ReadFile("train.out")
                                  << TempDir::ReadFile("train.err");
    EXPECT_TRUE(Contains(TempDir::ReadFile("train.out"), "Interrupted: network saved"))
        << TempDir::ReadFile("train.out");
    EXPECT_TRUE(fs::exists("loss.csv"));

    // The trained weights were saved...
    EXPECT_TRUE(TempDir::ReadFile("Network.data") != untrained) << "Network.data unchanged";
    // ...as a whole network that loads again.
    Outcome run = RunProgram({"categories"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "horizontal\nvertical\n");
    run = RunProgram(
        {"train", "--idx-images", "images.gz", "--idx-labels", "labels.gz", "--limit", "1"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
}

TEST(EndToEnd, CtrlCStopsEvalWithPartialResultsAndWholeRows) {
    const TempDir dir;
    MakeIdxSet("images.gz", "labels.gz", 20000);  // far more than it gets through
    ASSERT_EQ(RunProgram({"init", "--size", "32x32", "--categories", "horizontal,vertical"}).status,
              0);
    const pid_t pid = Start({"eval", "--idx-images", "images.gz", "--idx-labels", "labels.gz",
                             "--output", "part.csv", "--threads", "1"},
                            "eval");
    ASSERT_GT(pid, 0);
    const auto lines = [] {
        const std::string csv = TempDir::ReadFile("part.csv");
        return std::count(csv.begin(), csv.end(), '\n');
    };
    // Rows reach the file one by one: signalled once the first is there.
    EXPECT_TRUE(WaitUntil([&] { return lines() >= 2; }));
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid, 60), 130) << TempDir::ReadFile("eval.err");
    const std::string csv = TempDir::ReadFile("part.csv");
    EXPECT_EQ(csv.back(), '\n');
    // The results so far, marked partial, over exactly the rows written.
    const std::string rows = std::to_string(lines() - 1);
    const std::string out = TempDir::ReadFile("eval.out");
    EXPECT_TRUE(Contains(out, "Interrupted: partial results, " + rows + " of 20000 samples"))
        << out;
    EXPECT_TRUE(Contains(out, " of " + rows + ")\n")) << out;
}

namespace {

// The data rows of a CSV file, sorted, and its header line.
std::vector<std::string> SortedRows(const std::string& text, std::string* header) {
    std::vector<std::string> rows;
    std::istringstream in(text);
    std::string line;
    if (std::getline(in, line) && header != nullptr) *header = line;
    while (std::getline(in, line)) rows.push_back(line);
    std::sort(rows.begin(), rows.end());
    return rows;
}

}  // namespace

TEST(EndToEnd, ShardsCoverEachInputOnceAndMergeToTheWholeRun) {
    const TempDir dir;
    MakeFolderSet("data", 5);
    ASSERT_EQ(RunProgram({"init", "--network", "net", "--size", "32x32", "--threads", "1",
                          "--categories", "horizontal,vertical"})
                  .status,
              0);

    Outcome run = RunProgram({"eval", "data", "--network", "net", "--output", "all.csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string header;
    const std::vector<std::string> whole = SortedRows(TempDir::ReadFile("all.csv"), &header);
    EXPECT_EQ(header, "sample,source,label,predicted,score");
    ASSERT_EQ(whole.size(), 10u);

    std::vector<std::string> merged;
    for (const char* shard : {"0/2", "1/2"}) {
        run = RunProgram(
            {"eval", "data", "--network", "net", "--shard", shard, "--output", "part.csv"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, " of 5)")) << run.out;  // half of the ten samples
        const std::vector<std::string> rows = SortedRows(TempDir::ReadFile("part.csv"));
        merged.insert(merged.end(), rows.begin(), rows.end());
    }
    std::sort(merged.begin(), merged.end());
    // Each sample exactly once, with the same prediction and score bits.
    EXPECT_EQ(merged, whole);
}

// Load, predict, train, save and unload through corvane.h only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "corvane.h"
#include "support/Images.h"
#include "support/TempDir.h"

namespace {

constexpr int kOutputs = 5;

int CountOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A new network with five categories; the load draws its weights. Most
// tests use the smallest size to stay quick under the sanitizers.
void WriteNewNetwork(int side = 32) {
    const std::string size = std::to_string(side) + ";" + std::to_string(side);
    TempDir::WriteFile("Network.data", size + "\n5\na;b;c;d;e;\n");
}

struct Loaded {
    explicit Loaded(unsigned threads = 2) : handle(CreateCorvane()) {
        testing::internal::CaptureStdout();
        ok = LoadCorvane(handle, threads);
        loadLog = testing::internal::GetCapturedStdout();
    }
    ~Loaded() {
        testing::internal::CaptureStdout();
        ReleaseCorvane(handle);
        testing::internal::GetCapturedStdout();
    }
    std::vector<float> Scores(const cv::Mat& image) {
        std::vector<float> scores(kOutputs, -1.0f);
        EXPECT_TRUE(Predict(handle, &image, 0, 0, image.cols, image.rows, scores.data()));
        return scores;
    }
    NetHandle* handle;
    bool ok = false;
    std::string loadLog;
};

// FNV-1a, 64 bits: a checksum that stays the same on every platform.
std::uint64_t Checksum(const std::string& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// Loads the network in `file`, lets `prepare` work on the handle, trains
// `steps` steps on two pictures in turn and returns the saved file.
template <typename Prepare>
std::string TrainedFile(const std::string& file, Prepare&& prepare, int steps) {
    TempDir::WriteFile("Network.data", file);
    const cv::Mat pictures[2] = {TexturedImage(40, 32, 5), TexturedImage(32, 48, 6)};
    const float wanted[2][kOutputs] = {{1, 0, 0, 0, 0}, {0, 0, 0, 1, 0}};
    NetHandle* handle = CreateCorvane();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(LoadCorvane(handle, 2));
    testing::internal::GetCapturedStdout();
    prepare(handle);
    testing::internal::CaptureStdout();
    float loss = 0.0f;
    for (int step = 0; step < steps; ++step) {
        const cv::Mat& picture = pictures[step % 2];
        EXPECT_TRUE(TrainOne(handle, &picture, 0, 0, picture.cols, picture.rows, wanted[step % 2],
                             kOutputs, &loss));
    }
    EXPECT_TRUE(SaveCorvane(handle));
    EXPECT_TRUE(ReleaseCorvane(handle));
    testing::internal::GetCapturedStdout();
    return TempDir::ReadFile("Network.data");
}

}  // namespace

TEST(Lifecycle, PredictAndTrainOnALoadedNetwork) {
    TempDir dir;
    WriteNewNetwork();
    Loaded net(2);
    ASSERT_TRUE(net.ok) << net.loadLog;
    const cv::Mat image = TexturedImage(80, 60, 1);

    // A pass changes no weight: the same image gives the same scores, bit for bit.
    const std::vector<float> before = net.Scores(image);
    EXPECT_EQ(net.Scores(image), before);
    for (float score : before) EXPECT_TRUE(score > 0.0f && score < 1.0f);

    // The loss is the mean absolute difference to the scores just predicted.
    const std::vector<float> wanted{0, 0, 1, 0, 0};
    float expected = 0.0f;
    for (int k = 0; k < kOutputs; ++k) expected += std::fabs(wanted[k] - before[k]);
    expected /= kOutputs;
    float loss = -1.0f;
    ASSERT_TRUE(TrainOne(net.handle, &image, 0, 0, 80, 60, wanted.data(), kOutputs, &loss));
    EXPECT_FLOAT_EQ(loss, expected);

    // Training towards class 2 raises its score.
    for (int i = 0; i < 49; ++i)
        ASSERT_TRUE(TrainOne(net.handle, &image, 0, 0, 80, 60, wanted.data(), kOutputs, &loss));
    const std::vector<float> after = net.Scores(image);
    EXPECT_GT(after[2], before[2] + 0.01f);
    EXPECT_LT(after[0], before[0]);
}

TEST(Lifecycle, LearningRateChangesTrainingOnlyWhenItDiffersFromTheDefault) {
    TempDir dir;
    WriteNewNetwork();
    // Fixed initial weights: the library draws them from the unseeded rand.
    std::srand(7);
    const auto none = [](NetHandle*) {};
    const std::string initial = TrainedFile(TempDir::ReadFile("Network.data"), none, 0);
    const std::string byDefault = TrainedFile(initial, none, 6);
    // Made with the library as it was before SetLearningRate existed.
    EXPECT_EQ(Checksum(byDefault), 0xfc413376619182a4ull);
    // After one step the dense weights show the dense rate alone (they learn
    // first) and the first kernel shows the kernels' rate.
    const std::vector<std::string> oneStep = Lines(TrainedFile(initial, none, 1));

    const auto set = [](float rate) {
        return [rate](NetHandle* handle) {
            testing::internal::CaptureStdout();
            EXPECT_TRUE(SetLearningRate(handle, rate));
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        };
    };
    struct Case {
        const char* what;
        std::function<void(NetHandle*)> prepare;
        bool likeDefault;
    };
    const std::vector<Case> cases{
        {"the default rate set", set(0.0005f), true},
        {"refused rates",
         [](NetHandle* handle) {
             for (float rate : {0.0f, -0.01f, 1.0001f, std::nanf(""), INFINITY, -INFINITY}) {
                 testing::internal::CaptureStdout();
                 EXPECT_FALSE(SetLearningRate(handle, rate)) << rate;
                 EXPECT_EQ(Lines(testing::internal::GetCapturedStdout()).size(), 1u) << rate;
             }
         },
         true},
        {"a rate undone by a new load",
         [](NetHandle* handle) {
             testing::internal::CaptureStdout();
             EXPECT_TRUE(SetLearningRate(handle, 0.02f));
             EXPECT_TRUE(UnLoadCorvane(handle));
             EXPECT_FALSE(SetLearningRate(handle, 0.02f));  // no network to set it on
             EXPECT_TRUE(LoadCorvane(handle, 1));
             EXPECT_EQ(CountOf(testing::internal::GetCapturedStdout(), "Set learning rate error"),
                       1);
         },
         true},
        {"a higher rate", set(0.02f), false},
        {"the highest rate", set(1.0f), false},
        {"a lower rate", set(0.0001f), false},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> lines = Lines(TrainedFile(initial, c.prepare, 1));
        ASSERT_EQ(lines.size(), oneStep.size()) << c.what;
        // Line 3 is the first module's first kernel, the last line the dense weights.
        EXPECT_EQ(lines[3] == oneStep[3], c.likeDefault) << c.what;
        EXPECT_EQ(lines.back() == oneStep.back(), c.likeDefault) << c.what;
        if (c.likeDefault) {
            EXPECT_EQ(TrainedFile(initial, c.prepare, 6), byDefault) << c.what;
        }
    }
}

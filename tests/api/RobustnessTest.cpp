// Bad files, bad arguments and failing surroundings, through corvane.h only:
// every case returns false (or works), prints what it says below, and
// leaves the handle usable and the saved network intact.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "corvane.h"
#include "support/Images.h"
#include "support/ProcessState.h"
#include "support/TempDir.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CORVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CORVANE_SANITIZED 1
#endif
#endif

namespace {

const std::string kSmallNetwork = "32;32\n2\nyes;no;\n";

// The console text of one call.
template <typename Call>
std::string Printed(Call&& call) {
    testing::internal::CaptureStdout();
    call();
    return testing::internal::GetCapturedStdout();
}

int CountOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// A handle loaded with one thread from "Network.data", by default a new
// 32 x 32 network with two outputs.
struct SmallNetwork {
    explicit SmallNetwork(bool fresh = true) : handle(CreateCorvane()) {
        if (fresh) TempDir::WriteFile("Network.data", kSmallNetwork);
        Printed([&] { loaded = LoadCorvane(handle, 1); });
    }
    ~SmallNetwork() {
        Printed([&] { ReleaseCorvane(handle); });
    }
    std::vector<float> Scores(const cv::Mat& image) {
        std::vector<float> scores(2, -1.0f);
        EXPECT_TRUE(Predict(handle, &image, 0, 0, image.cols, image.rows, scores.data()));
        return scores;
    }
    NetHandle* handle;
    bool loaded = false;
};

}  // namespace

TEST(Robustness, RefusedFileFailsTheLoadWithOneLineAndBuildsNothing) {
    TempDir dir;
    const std::string name1024(1024, 'n');
    std::string seventeenNames, eighteenNames, tooManyNames;
    for (int i = 0; i < 17; ++i) seventeenNames += name1024 + ";";
    for (int i = 0; i < 18; ++i) eighteenNames += "c;";
    for (int i = 0; i < 100017; ++i) tooManyNames += "x;";
    // Header lines may hold 256 bytes plus a final "\r".
    const std::string line256 = "32;32" + std::string(251, ' ');
    // File contents and the one line each must print; "" for a file that loads.
    const std::vector<std::pair<std::string, std::string>> files{
        {"16;32\n2\na;b;\n", "network file refused: input size 16x32 is outside 32 to 4096"},
        {"32;8192\n2\n\n", "network file refused: input size 32x8192 is outside 32 to 4096"},
        {"48;64\n2\n\n", "network file refused: input size 48x64 is not a multiple of 32"},
        {"64;80\n2\n\n", "network file refused: input size 64x80 is not a multiple of 32"},
        {"32;32\n0\n\n", "network file refused: output count 0 is outside 1 to 100000"},
        {"32;32\n-7\n\n", "network file refused: output count -7 is outside 1 to 100000"},
        {"32;32\n100001\n\n", "network file refused: output count 100001 is outside 1 to 100000"},
        {"32;32\n1\n" + eighteenNames + "\n",
         "network file refused: 18 category names for 1 outputs"},
        {"32;32\n1\n" + seventeenNames + "\n", ""},
        {"32;32\n1\n" + name1024 + "n;\n",
         "network file refused: a category name is longer than 1024 bytes"},
        {"", "network file error: line 1 must hold width;height"},
        {"x;32\n2\n\n", "network file error: line 1 must hold width;height"},
        {"32\n2\n\n", "network file error: line 1 must hold width;height"},
        {"99999999999;32\n2\n\n", "network file error: line 1 must hold width;height"},
        {"32;32\nfive\n\n", "network file error: line 2 must hold the output count"},
        {"32;32\n\n\n", "network file error: line 2 must hold the output count"},
        {line256 + "\r\n2" + std::string(255, ' ') + "\nyes;no;\n", ""},
        {line256 + " \n2\n\n", "network file error: a header line is too long"},
        {"32;32\n2" + std::string(256, ' ') + "\n\n",
         "network file error: a header line is too long"},
        {std::string(1 << 20, '3'), "network file error: a header line is too long"},
        {"32;32\n2\n" + tooManyNames + "\n", "network file error: too many category names"},
    };
    NetHandle* handle = CreateCorvane();
    const int threadsBefore = ThreadBaseline();
    const cv::Mat image = TexturedImage(32, 32, 1);
    std::vector<float> scores(2, -1.0f);
    for (const auto& [contents, line] : files) {
        const std::string shown = line.empty() ? contents.substr(0, 40) : line;
        TempDir::WriteFile("Network.data", contents);
        bool loaded = false;
        const std::string printed = Printed([&] { loaded = LoadCorvane(handle, 1); });
        EXPECT_EQ(loaded, line.empty()) << shown;
        EXPECT_EQ(TempDir::ReadFile("Network.data"), contents);  // a load never writes
        if (loaded) {
            Printed([&] { EXPECT_TRUE(UnLoadCorvane(handle)); });
            continue;
        }
        // Nothing built ("Image width:" is the first build line), no pool
        // started (each worker says "Thread finished" when it stops).
        EXPECT_EQ(printed, line + "\nLoad Corvane error");
        EXPECT_EQ(ThreadCountDownTo(threadsBefore), threadsBefore) << line;
        const float wanted[2] = {1.0f, 0.0f};
        float loss = -1.0f;
        Printed([&] {
            EXPECT_FALSE(Predict(handle, &image, 0, 0, 32, 32, scores.data()));
            EXPECT_FALSE(TrainOne(handle, &image, 0, 0, 32, 32, wanted, 2, &loss));
            EXPECT_FALSE(SaveCorvane(handle));
        });
        EXPECT_EQ(loss, -1.0f);
    }

    // Memory: within the side limits but far beyond 8 GiB once built.
    TempDir::WriteFile("Network.data", "4096;4096\n10\n\n");
    std::string printed = Printed([&] { EXPECT_FALSE(LoadCorvane(handle, 1)); });
    const std::string prefix = "network file refused: the network would need about ";
    const std::string suffix = " MiB (limit 8192 MiB)\nLoad Corvane error";
    ASSERT_GT(printed.size(), prefix.size() + suffix.size()) << printed;
    EXPECT_EQ(printed.substr(0, prefix.size()), prefix);
    EXPECT_EQ(printed.substr(printed.size() - suffix.size()), suffix);
    const std::string mebibytes =
        printed.substr(prefix.size(), printed.size() - prefix.size() - suffix.size());
    EXPECT_EQ(mebibytes.find_first_not_of("0123456789"), std::string::npos) << printed;

    // Anything but a plain file counts as no file: none, a folder, a pipe
    // (whose open would wait for a writer) and an endless device.
    for (const std::function<void()>& make : std::vector<std::function<void()>>{
             [] {}, [] { std::filesystem::create_directory("Network.data"); },
             [] { ASSERT_EQ(::mkfifo("Network.data", 0600), 0); },
             [] { std::filesystem::create_symlink("/dev/zero", "Network.data"); }}) {
        std::filesystem::remove("Network.data");
        make();
        EXPECT_EQ(Printed([&] { EXPECT_FALSE(LoadCorvane(handle, 1)); }),
                  "open network file error\nLoad Corvane error");
        std::filesystem::remove("Network.data");
    }

    // Thread counts outside 1 to 256 are refused the same way, even with a
    // good file, and even when a network is loaded (which the load replaces).
    TempDir::WriteFile("Network.data", kSmallNetwork);
    for (std::uint32_t threads : {0u, 257u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Printed([&] { EXPECT_FALSE(LoadCorvane(handle, threads)); }),
                  threads == 0 ? "thread count must be at least 1\nLoad Corvane error"
                               : "thread count must be at most 256\nLoad Corvane error");
    }
    Printed([&] { ASSERT_TRUE(LoadCorvane(handle, 2)); });
    EXPECT_NEAR(ThreadCount(), threadsBefore + 8, kRuntimeThreads);  // four pools of two
    printed = Printed([&] { EXPECT_FALSE(LoadCorvane(handle, 300)); });
    EXPECT_EQ(CountOf(printed, "Thread finished\n"), 8);  // the old network's workers
    EXPECT_NEAR(ThreadCountDownTo(threadsBefore), threadsBefore, kRuntimeThreads);
    Printed([&] { EXPECT_FALSE(Predict(handle, &image, 0, 0, 32, 32, scores.data())); });
    EXPECT_EQ(scores, std::vector<float>(2, -1.0f));

    // After all of that the handle loads and works.
    Printed([&] { ASSERT_TRUE(LoadCorvane(handle, 1)); });
    Printed([&] { EXPECT_TRUE(Predict(handle, &image, 0, 0, 32, 32, scores.data())); });
    Printed([&] { EXPECT_TRUE(ReleaseCorvane(handle)); });
    EXPECT_NEAR(ThreadCountDownTo(threadsBefore), threadsBefore, kRuntimeThreads);
}

TEST(Robustness, BadArgumentsReturnFalseAndDisturbNothing) {
    TempDir dir;
    SmallNetwork net;
    ASSERT_TRUE(net.loaded);
    const cv::Mat image = TexturedImage(40, 30, 2);
    const std::vector<float> reference = net.Scores(image);
    const float wanted[2] = {1.0f, 0.0f};
    float loss = -1.0f;
    std::vector<float> scores(2, -1.0f);
    NetHandle* h = net.handle;

    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    cv::Mat fourChannels, twoChannels, wide, floats, threeD;
    cv::cvtColor(image, fourChannels, cv::COLOR_BGR2BGRA);
    twoChannels = cv::Mat(30, 40, CV_8UC2, cv::Scalar::all(9));
    image.convertTo(wide, CV_16UC3);
    image.convertTo(floats, CV_32FC3, 1.0 / 255);
    const int dims[3] = {4, 4, 4};
    threeD = cv::Mat(3, dims, CV_8UC1, cv::Scalar(1));
    const cv::Mat empty, noRows(0, 40, CV_8UC3);

    struct Case {
        const char* what;
        NetHandle* handle;
        const cv::Mat* image;
        std::uint32_t x, y, width, height;
    };
    const std::vector<Case> cases{
        {"null handle", nullptr, &image, 0, 0, 40, 30},
        {"null image", h, nullptr, 0, 0, 40, 30},
        {"empty image", h, &empty, 0, 0, 0, 0},
        {"image without rows", h, &noRows, 0, 0, 40, 0},
        {"region of width 0", h, &image, 0, 0, 0, 30},
        {"region of height 0", h, &image, 0, 0, 40, 0},
        {"region past the right edge", h, &image, 30, 0, 20, 30},
        {"region past the bottom", h, &image, 0, 29, 40, 2},
        {"x + width beyond 32 bits", h, &image, 0xFFFFFFF0u, 0, 0x20, 30},
        {"y + height beyond 32 bits", h, &image, 0, 0xFFFFFFF0u, 40, 0x20},
        {"x negative as a signed number", h, &image, 0x80000000u, 0, 10, 10},
        {"width of 2^32 - 1", h, &image, 0, 0, 0xFFFFFFFFu, 30},
        {"huge height", h, &image, 0, 0, 40, 0x7FFFFFFFu},
        {"one pixel high, too thin to fit", h, &image, 0, 0, 40, 1},
        {"four channels", h, &fourChannels, 0, 0, 40, 30},
        {"two channels", h, &twoChannels, 0, 0, 40, 30},
        {"16-bit pixels", h, &wide, 0, 0, 40, 30},
        {"float pixels", h, &floats, 0, 0, 40, 30},
        {"three dimensions", h, &threeD, 0, 0, 4, 4},
    };
    for (const Case& c : cases) {
        Printed([&] {
            EXPECT_FALSE(Predict(c.handle, c.image, c.x, c.y, c.width, c.height, scores.data()))
                << c.what;
            EXPECT_FALSE(TrainOne(c.handle, c.image, c.x, c.y, c.width, c.height, wanted, 2, &loss))
                << c.what;
        });
        EXPECT_EQ(scores, std::vector<float>(2, -1.0f)) << c.what;
        EXPECT_EQ(loss, -1.0f) << c.what;
    }

    // Null results and wrong counts; a count far beyond the two floats of
    // `wanted` is refused before anything is read from it.
    std::string printed = Printed([&] {
        EXPECT_FALSE(Predict(h, &image, 0, 0, 40, 30, nullptr));
        EXPECT_FALSE(TrainOne(h, &image, 0, 0, 40, 30, wanted, 2, nullptr));
        EXPECT_FALSE(TrainOne(h, &image, 0, 0, 40, 30, nullptr, 2, &loss));
        EXPECT_FALSE(TrainOne(h, &image, 0, 0, 40, 30, nullptr, 0, &loss));
        for (std::int32_t count : {-1, 0, 1, 3, 0x7FFFFFFF, INT32_MIN})
            EXPECT_FALSE(TrainOne(h, &image, 0, 0, 40, 30, wanted, count, &loss)) << count;
        EXPECT_FALSE(CategoryCount(h, nullptr));
        EXPECT_FALSE(GetCategory(h, 0, nullptr));
    });
    EXPECT_EQ(printed, "Category count: unknown error\n");
    EXPECT_EQ(loss, -1.0f);

    // None of it moved a weight or left the handle in a bad state.
    EXPECT_EQ(net.Scores(image), reference);

    // Views into a larger image (rows not continuous) and grey pictures work:
    // the same pixels give the same scores as a continuous copy.
    cv::Mat canvas(100, 120, CV_8UC3, cv::Scalar(7, 70, 200));
    image.copyTo(canvas(cv::Rect(33, 21, 40, 30)));
    const cv::Mat view = canvas(cv::Rect(33, 21, 40, 30));
    ASSERT_FALSE(view.isContinuous());
    EXPECT_EQ(net.Scores(view), reference);
    Printed([&] { EXPECT_TRUE(Predict(h, &canvas, 33, 21, 40, 30, scores.data())); });
    EXPECT_EQ(scores, reference);
    cv::Mat greyCopy = grey.clone();
    EXPECT_EQ(net.Scores(grey(cv::Rect(0, 0, 40, 30))), net.Scores(greyCopy));
    // A single pixel and a 32 x 1 strip still fill at least one row.
    const cv::Mat dot(1, 1, CV_8UC3, cv::Scalar(10, 20, 30));
    for (float score : net.Scores(dot)) EXPECT_TRUE(score >= 0.0f && score <= 1.0f);
    Printed([&] { EXPECT_TRUE(Predict(h, &image, 0, 0, 32, 1, scores.data())); });
}

TEST(Robustness, NullStaleAndForeignHandlesAreRefused) {
    TempDir dir;
    TempDir::WriteFile("Network.data", kSmallNetwork);
    const cv::Mat image = TexturedImage(32, 32, 3);
    std::vector<float> scores(2, -1.0f);
    const float wanted[2] = {0.0f, 1.0f};
    float loss = -1.0f;
    std::uint32_t count = 99;
    char name[8] = "unset";

    NetHandle* released = CreateCorvane();
    Printed([&] { ASSERT_TRUE(LoadCorvane(released, 1)); });
    const int threads = ThreadCount();
    Printed([&] { ASSERT_TRUE(ReleaseCorvane(released)); });
    EXPECT_EQ(ThreadCountDownTo(threads - 4), threads - 4);
    // Not a handle at all: the address of something else.
    long notAHandle[64] = {};
    NetHandle* foreign = reinterpret_cast<NetHandle*>(notAHandle);

    // A null handle fails alike, only the reason differs.
    for (NetHandle* stale : {released, foreign, static_cast<NetHandle*>(nullptr)}) {
        const std::string printed = Printed([&] {
            EXPECT_FALSE(ReleaseCorvane(stale));
            EXPECT_FALSE(LoadCorvane(stale, 1));
            EXPECT_FALSE(UnLoadCorvane(stale));
            EXPECT_FALSE(SaveCorvane(stale));
            EXPECT_FALSE(Predict(stale, &image, 0, 0, 32, 32, scores.data()));
            EXPECT_FALSE(TrainOne(stale, &image, 0, 0, 32, 32, wanted, 2, &loss));
            EXPECT_FALSE(CategoryCount(stale, &count));
            EXPECT_FALSE(GetCategory(stale, 0, name));
            EXPECT_FALSE(SetLearningRate(stale, 0.01f));
        });
        EXPECT_EQ(printed,
                  "Load Corvane errorUnload Corvane errorCategory count: unknown error\n"
                  "Set learning rate error: " +
                      std::string(stale == nullptr ? "null argument" : "unknown handle") + "\n");
    }
    EXPECT_EQ(std::count(std::begin(notAHandle), std::end(notAHandle), 0L), 64);
    EXPECT_EQ(scores, std::vector<float>(2, -1.0f));
    EXPECT_EQ(loss, -1.0f);
    EXPECT_EQ(count, 99u);
    EXPECT_STREQ(name, "unset");
    EXPECT_EQ(TempDir::ReadFile("Network.data"), kSmallNetwork);
}

TEST(Robustness, OneHandleUsedFromTwoThreadsRefusesInsteadOfRacing) {
    TempDir dir;
    SmallNetwork net;
    ASSERT_TRUE(net.loaded);
    const cv::Mat images[2] = {TexturedImage(40, 40, 7), TexturedImage(40, 40, 8)};
    const std::vector<float> references[2] = {net.Scores(images[0]), net.Scores(images[1])};
    ASSERT_NE(references[0], references[1]);

    // Two host threads break the one-thread-per-handle rule, each with its
    // own picture. A call that finds the handle busy returns false at once;
    // every call that runs has the handle to itself and gives the scores of
    // a lone call, not a mixture of both pictures.
    constexpr int kCalls = 30;
    std::vector<int> succeeded(2, 0), refused(2, 0), wrong(2, 0);
    testing::internal::CaptureStdout();
    std::vector<std::thread> hosts;
    for (int k = 0; k < 2; ++k)
        hosts.emplace_back([&, k] {
            for (int i = 0; i < kCalls; ++i) {
                std::vector<float> scores(2, -1.0f);
                if (Predict(net.handle, &images[k], 0, 0, 40, 40, scores.data())) {
                    ++succeeded[k];
                    if (scores != references[k]) ++wrong[k];
                } else {
                    ++refused[k];
                }
            }
        });
    for (std::thread& host : hosts) host.join();
    testing::internal::GetCapturedStdout();
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(succeeded[k] + refused[k], kCalls);
        EXPECT_EQ(wrong[k], 0) << k;
    }
    // A call is refused only while another one runs, so some ran.
    EXPECT_GT(succeeded[0] + succeeded[1], 0);
    EXPECT_EQ(net.Scores(images[0]), references[0]);
}

TEST(Robustness, LoadThatRunsOutOfMemoryHalfWayLeavesAReusableHandle) {
#if defined(CORVANE_SANITIZED)
    GTEST_SKIP() << "the sanitizers' allocators abort instead of failing an allocation";
#else
    TempDir dir;
    // 512 dense inputs x 100000 outputs: about 2 GB of connections, built
    // after the pools have started. With the address space capped 256 MiB
    // above what the process uses now, that allocation fails half-way.
    TempDir::WriteFile("Network.data", "32;32\n100000\n\n");
    NetHandle* handle = CreateCorvane();
    const int threadsBefore = ThreadBaseline();
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &previous), 0);
    rlimit capped = previous;
    capped.rlim_cur = static_cast<rlim_t>(AddressSpaceKiB() + 256 * 1024) * 1024;
    bool loaded = true;
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &capped), 0);
    const std::string printed = Printed([&] { loaded = LoadCorvane(handle, 2); });
    ::setrlimit(RLIMIT_AS, &previous);
    EXPECT_FALSE(loaded);
    // The build had begun ("Image width:1" for 32 / 2^5) and its eight
    // workers were stopped again before the error was reported.
    EXPECT_EQ(printed.rfind("Image width:1\n", 0), 0u) << printed;
    EXPECT_EQ(CountOf(printed, "Thread finished\n"), 8) << printed;
    EXPECT_EQ(ThreadCountDownTo(threadsBefore), threadsBefore);

    const cv::Mat image = TexturedImage(32, 32, 4);
    std::vector<float> scores(2, -1.0f);
    Printed([&] {
        EXPECT_FALSE(Predict(handle, &image, 0, 0, 32, 32, scores.data()));
        EXPECT_FALSE(SaveCorvane(handle));
        EXPECT_TRUE(UnLoadCorvane(handle));
    });
    EXPECT_EQ(TempDir::ReadFile("Network.data"), "32;32\n100000\n\n");
    TempDir::WriteFile("Network.data", kSmallNetwork);
    Printed([&] {
        EXPECT_TRUE(LoadCorvane(handle, 1));
        EXPECT_TRUE(Predict(handle, &image, 0, 0, 32, 32, scores.data()));
        EXPECT_TRUE(ReleaseCorvane(handle));
    });
    EXPECT_EQ(ThreadCountDownTo(threadsBefore), threadsBefore);
#endif
}

TEST(Robustness, ExtremeWeightsSaturateAndTrainOn) {
    TempDir dir;
    {
        SmallNetwork net;
        ASSERT_TRUE(net.loaded);
        Printed([&] { ASSERT_TRUE(SaveCorvane(net.handle)); });
    }
    // Every weight replaced by 3e38 and -3e38 in turn, next to the largest
    // float: sums overflow to infinity, and infinities of both signs meet.
    std::istringstream original(TempDir::ReadFile("Network.data"));
    std::string text, line;
    for (int number = 0; std::getline(original, line); ++number) {
        if (number >= 3) {
            const long values = std::count(line.begin(), line.end(), ';');
            line.clear();
            for (long k = 0; k < values; ++k) line += k % 2 == 0 ? "3e38;" : "-3e38;";
        }
        text += line + "\n";
    }
    TempDir::WriteFile("Network.data", text);

    SmallNetwork net(false);
    ASSERT_TRUE(net.loaded);
    const cv::Mat image = TexturedImage(32, 32, 6);
    std::vector<float> scores(2, -1.0f);
    const float wanted[2] = {1.0f, 0.0f};
    float loss = -1.0f;
    // Activations and outputs saturate; training, saving and loading go on.
    Printed([&] {
        EXPECT_TRUE(Predict(net.handle, &image, 0, 0, 32, 32, scores.data()));
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(TrainOne(net.handle, &image, 0, 0, 32, 32, wanted, 2, &loss));
        EXPECT_TRUE(SaveCorvane(net.handle));
    });
    for (float score : scores) EXPECT_TRUE(score >= 0.0f && score <= 1.0f) << score;
    SmallNetwork again(false);
    EXPECT_TRUE(again.loaded);
}

// Long runs through corvane.h only: many load-predict-train-save-unload
// cycles must not grow the process, and several handles used at once from
// several host threads must each give what they give alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "corvane.h"
#include "support/Images.h"
#include "support/ProcessState.h"
#include "support/TempDir.h"

#if defined(__SANITIZE_THREAD__)
#define CORVANE_THREAD_SANITIZER 1
#elif defined(__SANITIZE_ADDRESS__)
#define CORVANE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORVANE_THREAD_SANITIZER 1
#elif __has_feature(address_sanitizer)
#define CORVANE_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

// The sanitizers make every pass many times slower (ThreadSanitizer about
// ten seconds a cycle here), and AddressSanitizer holds freed memory back
// on purpose, so resident memory says nothing there: its leak checker
// judges the run at exit instead. Threads are counted in every build.
#if defined(CORVANE_THREAD_SANITIZER)
constexpr int kCycles = 10;
constexpr bool kMeasureMemory = false;
#elif defined(CORVANE_ADDRESS_SANITIZER)
constexpr int kCycles = 30;
constexpr bool kMeasureMemory = false;
#else
constexpr int kCycles = 200;
constexpr bool kMeasureMemory = true;
#endif
constexpr int kWarmUp = 10;
constexpr long kMarginKiB = 8 * 1024;

const char* const kNetwork = "32;32\n2\nleft;right;\n";

int CountOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// The same pictures for every run: real detail, a sub-region of each.
std::vector<cv::Mat> Pictures(int count) {
    std::vector<cv::Mat> pictures;
    for (int i = 0; i < count; ++i) pictures.push_back(TexturedImage(48 + i % 5, 40, i));
    return pictures;
}

// One host's work on its own handle: predicts on every picture, with a
// training step after every fifth; returns every score in order.
std::vector<float> Session(NetHandle* handle, const std::vector<cv::Mat>& pictures) {
    std::vector<float> all;
    for (size_t i = 0; i < pictures.size(); ++i) {
        float scores[2] = {-1.0f, -1.0f};
        if (!Predict(handle, &pictures[i], 2, 1, 40, 36, scores)) return {};
        all.insert(all.end(), scores, scores + 2);
        if (i % 5 == 4) {
            const float wanted[2] = {static_cast<float>(i % 2), static_cast<float>(1 - i % 2)};
            float loss = -1.0f;
            if (!TrainOne(handle, &pictures[i], 2, 1, 40, 36, wanted, 2, &loss)) return {};
            all.push_back(loss);
        }
    }
    return all;
}

// The cycles are about memory and threads, not the disk: where a memory
// file system exists, the folder goes there so the two syncs of every save
// cost next to nothing.
void PreferMemoryFolder() {
    std::error_code ignored;
    if (std::filesystem::is_directory("/dev/shm", ignored) && ::access("/dev/shm", W_OK) == 0)
        ::setenv("TMPDIR", "/dev/shm", 1);
}

}  // namespace

TEST(Soak, CyclesKeepMemoryThreadsAndTheFileSteady) {
    PreferMemoryFolder();
    TempDir dir;
    TempDir::WriteFile("Network.data", kNetwork);
    const cv::Mat picture = TexturedImage(48, 40, 11);
    const float wanted[2] = {1.0f, 0.0f};
    const int threadsAtStart = ThreadBaseline();
    long residentAfterWarmUp = 0;
    long largestGrowth = 0;
    std::vector<float> lastTrained;
    NetHandle* handle = CreateCorvane();
    ASSERT_NE(handle, nullptr);

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        testing::internal::CaptureStdout();
        const bool loaded = LoadCorvane(handle, 1);
        std::vector<float> scores(2, -1.0f), trained(2, -1.0f);
        const bool predicted = Predict(handle, &picture, 0, 0, 48, 40, scores.data());
        float loss = -1.0f;
        const bool stepped = TrainOne(handle, &picture, 0, 0, 48, 40, wanted, 2, &loss);
        Predict(handle, &picture, 0, 0, 48, 40, trained.data());
        const bool saved = SaveCorvane(handle);
        const int threadsLoaded = ThreadCount();
        // Every other cycle releases the handle and starts a new one.
        const bool closed = cycle % 2 == 0 ? UnLoadCorvane(handle) : ReleaseCorvane(handle);
        if (cycle % 2 == 1) handle = CreateCorvane();
        const std::string log = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded && predicted && stepped && saved && closed && handle)
            << "cycle " << cycle << "\n"
            << log;

        // Four pools of one worker while loaded, none after.
        EXPECT_EQ(threadsLoaded, threadsAtStart + 4) << cycle;
        EXPECT_EQ(ThreadCountDownTo(threadsAtStart), threadsAtStart) << cycle;
        EXPECT_EQ(CountOf(log, "Thread finished\n"), 4) << cycle;
        // The file of the last cycle came back: six significant digits of
        // each weight, so the scores agree to well within 1e-4.
        if (!lastTrained.empty()) {
            EXPECT_NEAR(scores[0], lastTrained[0], 1e-4) << cycle;
            EXPECT_NEAR(scores[1], lastTrained[1], 1e-4) << cycle;
        }
        lastTrained = trained;

        if (kMeasureMemory && cycle == kWarmUp) residentAfterWarmUp = ResidentKiB();
        if (kMeasureMemory && cycle > kWarmUp)
            largestGrowth = std::max(largestGrowth, ResidentKiB() - residentAfterWarmUp);
    }
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ReleaseCorvane(handle));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ThreadCountDownTo(threadsAtStart), threadsAtStart);
    if (kMeasureMemory) {
        ASSERT_GT(residentAfterWarmUp, 0);
        EXPECT_LT(largestGrowth, kMarginKiB)
            << "resident memory grew by " << largestGrowth << " KiB after the warm-up";
        std::cout << "[ soak     ] " << kCycles << " cycles, resident " << residentAfterWarmUp
                  << " KiB after warm-up, largest growth " << largestGrowth << " KiB\n";
    }
}

TEST(Soak, HandlesOnSeveralHostThreadsMatchTheirWorkAlone) {
    TempDir dir;
    TempDir::WriteFile("Network.data", kNetwork);
    // A trained network in the file, so every handle loads the same weights.
    testing::internal::CaptureStdout();
    NetHandle* trainer = CreateCorvane();
    ASSERT_TRUE(LoadCorvane(trainer, 1));
    const std::vector<cv::Mat> pictures = Pictures(20);
    ASSERT_FALSE(Session(trainer, pictures).empty());
    ASSERT_TRUE(SaveCorvane(trainer));
    ASSERT_TRUE(ReleaseCorvane(trainer));

    // What one handle gives on its own.
    NetHandle* alone = CreateCorvane();
    ASSERT_TRUE(LoadCorvane(alone, 1));
    const std::vector<float> reference = Session(alone, pictures);
    ASSERT_TRUE(ReleaseCorvane(alone));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(reference.size(), 20u * 2 + 4);  // 20 score pairs and 4 losses

    // Three host threads, each loading and working its own handle at once;
    // two of them with two workers per pool.
    const int threadsAtStart = ThreadBaseline();
    constexpr int kHosts = 3;
    std::vector<std::vector<float>> results(kHosts);
    std::vector<int> released(kHosts, 0);
    testing::internal::CaptureStdout();
    std::vector<std::thread> hosts;
    for (int k = 0; k < kHosts; ++k)
        hosts.emplace_back([&, k] {
            NetHandle* handle = CreateCorvane();
            if (handle == nullptr || !LoadCorvane(handle, k == 0 ? 1 : 2)) return;
            results[k] = Session(handle, pictures);
            released[k] = ReleaseCorvane(handle);
        });
    for (std::thread& host : hosts) host.join();
    testing::internal::GetCapturedStdout();
    for (int k = 0; k < kHosts; ++k) {
        EXPECT_EQ(results[k], reference) << "host " << k;
        EXPECT_TRUE(released[k]) << "host " << k;
    }
    EXPECT_EQ(ThreadCountDownTo(threadsAtStart), threadsAtStart);
}

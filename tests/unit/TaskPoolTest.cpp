#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <numeric>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "parallel/TaskPool.h"

namespace {

using IntPool = TaskPool<int, int>;

// Echoes its chunk, so the result shows which worker got which items.
std::vector<int> Echo(std::vector<int> chunk) { return chunk; }

int CountLines(const std::string& text, const std::string& line) {
    int count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

}  // namespace

// Run and RunSharing (the caller running chunk 0) promise the same batch.
const std::vector<std::pair<const char*, decltype(&IntPool::Run)>> kRunWays{
    {"Run", &IntPool::Run}, {"RunSharing", &IntPool::RunSharing}};

TEST(TaskPool, SplitsRoundRobinAndGathersInWorkerOrder) {
    for (const auto& [name, run] : kRunWays) {
        SCOPED_TRACE(name);
        IntPool pool;
        pool.Start(3);
        // Items 0..6 on three workers: {0,3,6}, {1,4}, {2,5}, joined worker by worker.
        EXPECT_EQ((pool.*run)({0, 1, 2, 3, 4, 5, 6}, Echo),
                  (std::vector<int>{0, 3, 6, 1, 4, 2, 5}));

        // Fewer items than workers: the others run the task on an empty chunk.
        std::atomic<int> calls{0};
        auto countCalls = [&](std::vector<int> chunk) {
            ++calls;
            return std::vector<int>{static_cast<int>(chunk.size())};
        };
        EXPECT_EQ((pool.*run)({7}, countCalls), (std::vector<int>{1, 0, 0}));
        EXPECT_EQ(calls.load(), 3);
        // An empty batch still runs every chunk once.
        EXPECT_EQ((pool.*run)({}, countCalls), (std::vector<int>{0, 0, 0}));
        EXPECT_EQ(calls.load(), 6);
        testing::internal::CaptureStdout();
        pool.Shutdown();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Thread finished\nThread finished\nThread finished\n");
    }
}

TEST(TaskPool, ManyConsecutiveRunsProcessEachBatchOnce) {
    IntPool pool;
    pool.Start(2);
    for (int round = 0; round < 500; ++round) {
        std::vector<int> items(round % 7);
        std::iota(items.begin(), items.end(), round);
        std::vector<int> sums = pool.Run(items, [](std::vector<int> chunk) {
            return std::vector<int>{std::accumulate(chunk.begin(), chunk.end(), 0)};
        });
        ASSERT_EQ(sums.size(), 2u);
        ASSERT_EQ(sums[0] + sums[1], std::accumulate(items.begin(), items.end(), 0)) << round;
    }
    testing::internal::CaptureStdout();
    pool.Shutdown();
    testing::internal::GetCapturedStdout();
}

// Both threads look for their signal only for a while and then sleep: tasks
// that outlast the caller's looking, and batches that come after the workers
// have gone to sleep, must still be handed over whole.
TEST(TaskPool, SlowTasksAndSleepingWorkersStillHandOverWholeBatches) {
    for (const int threads : {1, 2, 3}) {
        IntPool pool;
        pool.Start(threads);
        for (int round = 0; round < 4; ++round) {
            std::atomic<int> finished{0};
            const std::vector<int> items{round, round + 1, round + 2};
            const std::vector<int> echoed = pool.Run(items, [&finished](std::vector<int> chunk) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                ++finished;
                return chunk;
            });
            ASSERT_EQ(finished.load(), threads) << threads << " workers, round " << round;
            std::vector<int> sorted = echoed;
            std::sort(sorted.begin(), sorted.end());
            ASSERT_EQ(sorted, items) << threads << " workers, round " << round;
            // Longer than the workers look for their next batch.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        testing::internal::CaptureStdout();
        pool.Shutdown();
        testing::internal::GetCapturedStdout();
    }
}

TEST(TaskPool, FailedTaskIsReportedAndThePoolRecovers) {
    for (const auto& [name, run] : kRunWays) {
        SCOPED_TRACE(name);
        IntPool pool;
        pool.Start(3);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const char* thrown = nullptr;
        try {
            // Only the worker that receives item 1 fails; it throws a plain text.
            (pool.*run)({0, 1, 2}, [](std::vector<int> chunk) {
                if (!chunk.empty() && chunk[0] == 1) throw "MAxPool: invalid value";
                return chunk;
            });
        } catch (const char* text) {
            thrown = text;
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Abnormal termination\n");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error in Parallel engine\n");
        ASSERT_NE(thrown, nullptr);

        // A standard exception and a thrown string print their own lines;
        // the chunk with item 0 fails (the caller's own when sharing), and
        // the throw waits for the slower chunks to finish.
        testing::internal::CaptureStdout();
        std::atomic<int> finished{0};
        const auto failFirst = [&finished](auto error) {
            return [&finished, error](std::vector<int> chunk) {
                if (!chunk.empty()) throw error;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                ++finished;
                return chunk;
            };
        };
        EXPECT_ANY_THROW((pool.*run)({0}, failFirst(std::runtime_error("hidden text"))));
        EXPECT_EQ(finished.exchange(0), 2);
        EXPECT_ANY_THROW((pool.*run)({0}, failFirst(std::string("string text"))));
        EXPECT_EQ(finished.load(), 2);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Error in Parallel engine\nstring text\nError in Parallel engine\n");

        // The next batch runs on all three workers again.
        EXPECT_EQ((pool.*run)({0, 1, 2, 3}, Echo), (std::vector<int>{0, 3, 1, 2}));
        testing::internal::CaptureStdout();
        pool.Shutdown();
        EXPECT_EQ(CountLines(testing::internal::GetCapturedStdout(), "Thread finished\n"), 3);
    }
}

// Workers that fail at the same moment write whole lines: their messages
// may come in either order but never mixed within a line.
TEST(TaskPool, WorkersFailingTogetherWriteWholeLines) {
    IntPool pool;
    pool.Start(4);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int round = 0; round < 200; ++round)
        EXPECT_ANY_THROW(pool.Run({0, 1, 2, 3}, [](std::vector<int>) -> std::vector<int> {
            throw std::string("string text");
        }));
    testing::internal::GetCapturedStderr();
    std::istringstream lines(testing::internal::GetCapturedStdout());
    int errors = 0;
    int texts = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line == "Error in Parallel engine")
            ++errors;
        else if (line == "string text")
            ++texts;
        else
            ADD_FAILURE() << "mixed line: " << line;
    }
    EXPECT_EQ(errors, 800);
    EXPECT_EQ(texts, 800);
}

TEST(TaskPool, StartsShutsDownAndStartsAgain) {
    IntPool pool;
    // No workers: an empty batch gives nothing, a real batch is refused.
    pool.Start(0);
    EXPECT_TRUE(pool.Run({}, Echo).empty());
    EXPECT_ANY_THROW(pool.Run({1}, Echo));
    pool.Shutdown();
    pool.Shutdown();

    testing::internal::CaptureStdout();
    for (int threads = 1; threads <= 4; ++threads) {
        pool.Start(threads);
        EXPECT_EQ(pool.Run({5, 6}, Echo).size(), 2u);
        pool.Shutdown();
        pool.Shutdown();  // a second shutdown does nothing
    }
    // 1 + 2 + 3 + 4 workers, each finishing exactly once.
    EXPECT_EQ(CountLines(testing::internal::GetCapturedStdout(), "Thread finished\n"), 10);
}

TEST(TaskPool, FourPoolsFinishFourTimesTheThreadCount) {
    testing::internal::CaptureStdout();
    {
        TaskPool<int, int> a, b, c, d;
        for (auto* pool : {&a, &b, &c, &d}) pool->Start(3);
        for (auto* pool : {&a, &b, &c, &d}) pool->Run({1, 2, 3}, Echo);
    }  // destruction shuts the pools down
    EXPECT_EQ(CountLines(testing::internal::GetCapturedStdout(), "Thread finished\n"), 12);
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "parallel/ChunkBarrier.h"
#include "parallel/TaskPool.h"

namespace {

using IntPool = TaskPool<int, int>;

// A batch whose tasks take a first step (failing for the chunk holding
// `failing`, throwing for the chunk holding `throwing`), meet, and take a
// second step only if every first step succeeded. Returns how many second
// steps ran (also counted in `secondStepsSeen`, which outlives a throwing
// batch); `seenFirst` counts the first steps each second step found done.
int TwoStepBatch(IntPool& pool, int workers, int failing, int throwing, std::vector<int>* seenFirst,
                 std::atomic<int>* secondStepsSeen = nullptr) {
    std::atomic<int> ownCount{0};
    std::atomic<int>& secondSteps = secondStepsSeen != nullptr ? *secondStepsSeen : ownCount;
    ChunkBarrier met(workers);
    std::atomic<int> firstSteps{0};
    std::vector<int> items(static_cast<size_t>(workers));
    for (int i = 0; i < workers; ++i) items[static_cast<size_t>(i)] = i;
    pool.Run(items, [&](std::vector<int> chunk) {
        ChunkBarrier::Arrival arrival(met);
        // The first task dawdles, so the others must really wait for it.
        if (chunk.front() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (chunk.front() == throwing) throw "first step broke";
        ++firstSteps;
        if (!arrival.ReportAndWait(chunk.front() != failing)) return std::vector<int>{};
        if (seenFirst != nullptr) seenFirst->at(static_cast<size_t>(chunk.front())) = firstSteps;
        ++secondSteps;
        return std::vector<int>{};
    });
    return secondSteps.load();
}

}  // namespace

TEST(ChunkBarrier, SecondStepsRunOnlyAfterEveryFirstStepAndOnlyIfAllSucceeded) {
    for (const int workers : {1, 2, 3}) {
        SCOPED_TRACE(std::to_string(workers) + " workers");
        IntPool pool;
        pool.Start(workers);
        std::vector<int> seen(static_cast<size_t>(workers), 0);
        EXPECT_EQ(TwoStepBatch(pool, workers, -1, -1, &seen), workers);
        // Every second step found all first steps done, the slow one included.
        for (const int firstSteps : seen) EXPECT_EQ(firstSteps, workers);

        // One failing first step stops every second step, its own and the others'.
        EXPECT_EQ(TwoStepBatch(pool, workers, workers - 1, -1, nullptr), 0);
        // The pool and a fresh barrier work as before.
        EXPECT_EQ(TwoStepBatch(pool, workers, -1, -1, nullptr), workers);
        pool.Shutdown();
    }
}

TEST(ChunkBarrier, AFirstStepThatThrowsReleasesTheOthers) {
    IntPool pool;
    pool.Start(3);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // The thrower is the last chunk; the others wait for it and must not
    // hang, nor take their second steps. The pool reports the failure.
    std::atomic<int> secondSteps{0};
    EXPECT_ANY_THROW(TwoStepBatch(pool, 3, -1, 2, nullptr, &secondSteps));
    testing::internal::GetCapturedStderr();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error in Parallel engine"),
              std::string::npos);
    EXPECT_EQ(secondSteps.load(), 0);
    // The restarted worker takes part in the next batch.
    EXPECT_EQ(TwoStepBatch(pool, 3, -1, -1, nullptr), 3);
    testing::internal::CaptureStdout();
    pool.Shutdown();
    testing::internal::GetCapturedStdout();
}

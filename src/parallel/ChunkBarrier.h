#pragma once

#include <atomic>
#include <thread>

// A meeting point for the tasks of one TaskPool batch, which run at the same
// time, one per worker: each reports whether its first step succeeded, and
// none goes on to its second step before all have reported. This lets one
// batch do what would otherwise take two (compute everything, then write
// only if nothing failed) without the second hand-over to the workers.
//
// Made by the submitter for `taskCount` tasks (the pool's worker count, as
// the task runs once per chunk, on a worker or, with RunSharing, on the
// submitter itself for the first chunk) and kept alive until the batch
// returns. A task reports through an Arrival, which reports a failure if the
// task leaves its first step by an exception, so that the others never wait
// for a task that is gone.
class ChunkBarrier {
  public:
    explicit ChunkBarrier(int taskCount) : expected(taskCount) {}
    ChunkBarrier(const ChunkBarrier&) = delete;
    ChunkBarrier& operator=(const ChunkBarrier&) = delete;

    class Arrival {
      public:
        explicit Arrival(ChunkBarrier& barrier) : barrier(barrier) {}
        ~Arrival() {
            if (!reported) barrier.Report(false);
        }
        Arrival(const Arrival&) = delete;
        Arrival& operator=(const Arrival&) = delete;

        // Reports the task's first step and waits for every other task's;
        // true when all succeeded. Call once.
        bool ReportAndWait(bool succeeded) {
            reported = true;
            barrier.Report(succeeded);
            return barrier.WaitForAll();
        }

      private:
        ChunkBarrier& barrier;
        bool reported = false;
    };

  private:
    void Report(bool succeeded) {
        if (!succeeded) failed.store(true);
        arrived.fetch_add(1);
    }
    bool WaitForAll() {
        // The others are running (all chunks are dispatched before any
        // is waited for or run by the submitter), so this wait ends; yielding gives the
        // core to them where there is none to spare.
        while (arrived.load() < expected) std::this_thread::yield();
        return !failed.load();
    }

    const int expected;
    std::atomic<int> arrived{0};
    std::atomic<bool> failed{false};
};

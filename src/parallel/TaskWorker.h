#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// One worker thread of a TaskPool with its own lock, its two signals and its
// own input and output. The pool writes `input` and `task` only while the
// worker is idle, and reads `output` only under the lock after the worker
// has set `idle` again, so the hand-over needs no other synchronisation.
template <typename Item, typename Result>
struct TaskWorker {
    using Task = std::function<std::vector<Result>(std::vector<Item>)>;

    std::mutex lock;
    std::thread thread;
    std::condition_variable doneSignal;   // the worker set `idle` (or `failed`)
    std::condition_variable startSignal;  // work or a stop request is waiting
    std::vector<Item> input;
    std::vector<Result> output;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> idle{true};
    // Set when a task raised an error and the thread ended; the pool then
    // joins and restarts the worker instead of waiting for `idle`.
    std::atomic<bool> failed{false};
    Task task;
};

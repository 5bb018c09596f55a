#pragma once

#include <chrono>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "parallel/TaskWorker.h"

// A fixed set of long-lived worker threads that runs one batch at a time:
// Run splits the items round robin into one chunk per worker (item k goes to
// chunk k mod threadCount), runs the task on every worker at once, waits for
// all of them and returns their results joined in worker order; the calling
// thread only dispatches and waits. RunSharing is the same batch with the
// calling thread running the first chunk.
//
// A task that fails ends its worker (the worker prints "Error in Parallel
// engine"); Run then restarts that worker and throws a plain text, so the
// pool stays usable and never waits for a worker that is gone.
// One submitter at a time: Run and Shutdown must not overlap.
template <typename Item, typename Result>
class TaskPool {
  public:
    using Worker = TaskWorker<Item, Result>;
    using Task = typename Worker::Task;

    TaskPool() = default;
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;
    ~TaskPool() { Shutdown(); }

    // Starts threadCount workers (none for a count below 1). Call on a pool
    // without workers: a new one or one after Shutdown.
    void Start(int count) {
        threadCount = count;
        if (count < 1) return;
        const unsigned cores = std::thread::hardware_concurrency();
        callerLookTime =
            static_cast<unsigned>(count) < cores ? kSpareCoreLookTime : kSharedCoreLookTime;
        // Sharing, the caller is one of the `count` busy threads.
        sharingLookTime =
            static_cast<unsigned>(count) <= cores ? kSpareCoreLookTime : kSharedCoreLookTime;
        for (int i = 0; i < count; ++i) workers.push_back(std::make_unique<Worker>());
        for (auto& worker : workers) {
            worker->stopRequested.exchange(false);
            worker->thread = std::thread(&TaskPool::WorkerLoop, worker.get());
        }
    }

    std::vector<Result> Run(std::vector<Item> items, Task task) {
        if (workers.empty()) return NoWorkers(items);
        std::vector<std::vector<Item>> chunks = Split(std::move(items));
        Dispatch(chunks, 0, task);
        std::vector<Result> results;
        Gather(0, chunks.size(), results, callerLookTime);
        return results;
    }

    // Run's batch with the calling thread taking part: it runs chunk 0
    // itself while worker c runs chunk c (c >= 1), so that no more than
    // ThreadCount() threads are busy at once and a single chunk needs no
    // hand-over at all. Same split, same order of results, and a failing
    // chunk prints the same lines as in Run; the caller waits for the
    // workers before it throws. Worker 0 stays idle.
    std::vector<Result> RunSharing(std::vector<Item> items, Task task) {
        if (workers.empty()) return NoWorkers(items);
        std::vector<std::vector<Item>> chunks = Split(std::move(items));
        Dispatch(chunks, 1, task);
        std::vector<Result> results;
        bool ownFailed = false;
        try {
            results = task(std::move(chunks[0]));
        } catch (...) {
            ReportFailure();
            ownFailed = true;
        }
        Gather(1, chunks.size(), results, sharingLookTime, ownFailed);
        return results;
    }

    // Stops, joins and destroys every worker in order. Safe to call twice.
    void Shutdown() {
        for (auto& worker : workers) {
            std::unique_lock<std::mutex> guard(worker->lock);
            if (worker->thread.joinable() && !worker->failed.load()) {
                worker->stopRequested.exchange(true);
                worker->idle.exchange(false);
                worker->startSignal.notify_all();
                while (!worker->idle.load() && !worker->failed.load())
                    worker->doneSignal.wait(guard);
            }
            // The worker takes the lock no more once it has set idle or failed.
            if (worker->thread.joinable()) worker->thread.join();
        }
        workers.clear();
    }

    int ThreadCount() const { return threadCount; }

    int threadCount = 0;
    std::vector<std::unique_ptr<Worker>> workers;

  private:
    std::vector<Result> NoWorkers(const std::vector<Item>& items) const {
        if (!items.empty()) throw "Parallel engine: no workers to run the batch";
        return {};
    }

    // Item k in chunk k mod threadCount.
    std::vector<std::vector<Item>> Split(std::vector<Item> items) const {
        std::vector<std::vector<Item>> chunks(static_cast<size_t>(threadCount));
        for (size_t k = 0; k < items.size(); ++k)
            chunks[k % chunks.size()].push_back(std::move(items[k]));
        return chunks;
    }

    // Hands chunk i to worker i, for i from `first` on.
    void Dispatch(std::vector<std::vector<Item>>& chunks, size_t first, const Task& task) {
        for (size_t i = first; i < chunks.size(); ++i) {
            Worker& worker = *workers[i];
            // The worker is idle and does not look at these until it sees idle cleared.
            worker.input = std::move(chunks[i]);
            worker.task = task;
            std::lock_guard<std::mutex> guard(worker.lock);
            worker.idle.exchange(false);
            worker.startSignal.notify_one();
        }
    }

    // Waits for workers first..end-1 and appends their results in worker
    // order; throws once all are back if any of them (or the caller's own
    // chunk, `anyFailed`) failed.
    void Gather(size_t first, size_t end, std::vector<Result>& results,
                std::chrono::microseconds lookTime, bool anyFailed = false) {
        for (size_t i = first; i < end; ++i) {
            Worker& worker = *workers[i];
            LookFor([&worker] { return worker.idle.load() || worker.failed.load(); }, lookTime);
            std::unique_lock<std::mutex> guard(worker.lock);
            while (!worker.idle.load() && !worker.failed.load()) worker.doneSignal.wait(guard);
            if (worker.failed.load()) {
                anyFailed = true;
                continue;
            }
            std::vector<Result> part = std::move(worker.output);
            guard.unlock();
            results.insert(results.end(), part.begin(), part.end());
        }
        if (anyFailed) {
            RestartFailedWorkers();
            throw "Parallel engine: a task failed";
        }
    }

    void RestartFailedWorkers() {
        for (auto& worker : workers) {
            if (!worker->failed.load()) continue;
            if (worker->thread.joinable()) worker->thread.join();
            worker->failed.exchange(false);
            worker->stopRequested.exchange(false);
            worker->idle.exchange(true);
            worker->thread = std::thread(&TaskPool::WorkerLoop, worker.get());
        }
    }

    // A waiting thread looks for its signal for a while before it sleeps: a
    // pass hands out a batch or two per layer close together, and a
    // sleeping thread takes far longer to wake (15-25 us measured on a
    // virtual machine, where a sleeping processor is given back to the
    // host). Between looks it yields, so that a thread with work to do gets
    // the core at once. The caller looks for the end of a batch long enough
    // to cover most of a layer's batches where a core is spare beyond the
    // workers; otherwise it shares a core with a worker, which its looking
    // slows down, and it looks only as long as the short batches take.
    static constexpr std::chrono::microseconds kWorkerLookTime{200};
    static constexpr std::chrono::microseconds kSpareCoreLookTime{1000};
    static constexpr std::chrono::microseconds kSharedCoreLookTime{50};
    std::chrono::microseconds callerLookTime{kSharedCoreLookTime};
    std::chrono::microseconds sharingLookTime{kSharedCoreLookTime};
    template <typename Ready>
    static void LookFor(Ready ready, std::chrono::microseconds lookTime) {
        const auto deadline = std::chrono::steady_clock::now() + lookTime;
        while (!ready() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }

    // One line in one write, so that workers failing at the same moment do
    // not mix their lines. Allocates nothing: a failure may be running out
    // of memory.
    static void WriteLine(std::ostream& out, const char* line) { out << line << std::flush; }
    // A thrown text and its line end, in one write where memory allows.
    static void WriteLine(std::ostream& out, const std::string& text) {
        try {
            out << (text + "\n") << std::flush;
        } catch (const std::bad_alloc&) {
            out << text << '\n' << std::flush;
        }
    }

    // The lines a failed task leaves; call from a catch block.
    static void ReportFailure() {
        try {
            throw;
        } catch (const std::exception&) {
            WriteLine(std::cout, "Error in Parallel engine\n");
        } catch (const std::string& text) {
            WriteLine(std::cout, text);
            WriteLine(std::cout, "Error in Parallel engine\n");
        } catch (...) {
            WriteLine(std::cerr, "Abnormal termination\n");
            WriteLine(std::cout, "Error in Parallel engine\n");
        }
    }

    static void WorkerLoop(Worker* worker) {
        try {
            for (;;) {
                LookFor([worker] { return !worker->idle.load(); }, kWorkerLookTime);
                {
                    std::unique_lock<std::mutex> guard(worker->lock);
                    while (worker->idle.load()) worker->startSignal.wait(guard);
                }
                if (worker->stopRequested.load()) {
                    {
                        std::lock_guard<std::mutex> guard(worker->lock);
                        worker->idle.exchange(true);
                        worker->doneSignal.notify_one();
                    }
                    WriteLine(std::cout, "Thread finished\n");
                    return;
                }
                std::vector<Result> result = worker->task(std::move(worker->input));
                worker->output = std::move(result);
                std::lock_guard<std::mutex> guard(worker->lock);
                worker->idle.exchange(true);
                worker->doneSignal.notify_one();
            }
        } catch (...) {
            ReportFailure();
        }
        std::lock_guard<std::mutex> guard(worker->lock);
        worker->failed.exchange(true);
        worker->doneSignal.notify_one();
    }
};

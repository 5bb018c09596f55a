// What one batch costs the pool beyond its work: Run back to back, as a pass
// hands out its batches. `caller_work` is a little work between batches on
// the calling thread (as a layer prepares its next batch), which is where
// waiting workers and the caller compete for cores; `task_us` is how long
// each task keeps its worker busy (a layer's batch takes 0.03 to 3 ms), and
// the counter `beyond_task_us` is a batch's time less that.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "parallel/TaskPool.h"

namespace {

void PoolHandOver(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int callerWork = static_cast<int>(state.range(1));
    const std::chrono::microseconds taskTime(state.range(2));
    TaskPool<int, float> pool;
    pool.Start(threads);
    const std::vector<int> items(static_cast<size_t>(threads), 1);
    volatile float sink = 0.0f;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::vector<float> results = pool.Run(items, [taskTime](std::vector<int> chunk) {
            const auto end = std::chrono::steady_clock::now() + taskTime;
            while (std::chrono::steady_clock::now() < end) {
            }
            return std::vector<float>(chunk.size(), 1.0f);
        });
        benchmark::DoNotOptimize(results.data());
        for (int i = 0; i < callerWork; ++i) sink = sink + 1.0f;
    }
    const double elapsed =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    pool.Shutdown();
    state.counters["beyond_task_us"] =
        elapsed / static_cast<double>(state.iterations()) - static_cast<double>(state.range(2));
}

}  // namespace

BENCHMARK(PoolHandOver)
    ->ArgNames({"threads", "caller_work", "task_us"})
    ->ArgsProduct({{1, 2}, {0, 2000}, {0, 200}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

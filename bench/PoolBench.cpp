// What one batch costs the pool beyond its work: Run with a task that does
// next to nothing, back to back, as a pass hands out its batches. The "busy"
// variant does a little work between batches on the calling thread (as a
// layer prepares its next batch), which is where waiting workers and the
// caller compete for cores.
#include <benchmark/benchmark.h>

#include <vector>

#include "parallel/TaskPool.h"

namespace {

void PoolHandOver(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int callerWork = static_cast<int>(state.range(1));
    TaskPool<int, float> pool;
    pool.Start(threads);
    const std::vector<int> items(static_cast<size_t>(threads), 1);
    volatile float sink = 0.0f;
    for (auto _ : state) {
        const std::vector<float> results = pool.Run(
            items, [](std::vector<int> chunk) { return std::vector<float>(chunk.size(), 1.0f); });
        benchmark::DoNotOptimize(results.data());
        for (int i = 0; i < callerWork; ++i) sink = sink + 1.0f;
    }
    pool.Shutdown();
}

}  // namespace

// Caller work between batches: none, and a few microseconds.
BENCHMARK(PoolHandOver)
    ->ArgNames({"threads", "caller_work"})
    ->ArgsProduct({{1, 2}, {0, 2000}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Samples per second of the Predict and TrainOne sequences, a per-layer
// breakdown of one training step, and the memory of a loaded network.
// Reference and fast implementations are registered side by side for every
// configuration, so they run back to back and share whatever load the
// machine carries at that moment.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "BenchNetwork.h"
#include "ProcessMemory.h"
#include "SampleImages.h"
#include "layers/ConvLanes.h"
#include "layers/ConvolutionLayer.h"
#include "network/PassObserver.h"

namespace {

using Implementation = ConvolutionLayer::Implementation;

struct NamedImplementation {
    const char* name;
    Implementation value;
};

const NamedImplementation kReference{"Reference", Implementation::Reference};
const NamedImplementation kFast{"Fast", Implementation::Fast};
const NamedImplementation kFastPortable{"FastPortable", Implementation::FastPortable};
const NamedImplementation kFastAvx2{"FastAvx2", Implementation::FastAvx2};

const int kSizes[] = {32, 64, 128};
const unsigned kThreadCounts[] = {1, 2};

struct Picture {
    std::string name;
    std::vector<Sample> samples;
};

// Both kinds of natural input: textured pictures at the network's size, and
// Fashion-MNIST pictures (scaled up by the input preparation) where installed.
std::vector<Picture> Pictures(int size) {
    std::vector<Picture> pictures{{"textured", TexturedSamples(size, 8)}};
    std::vector<Sample> fashion = FashionSamples(8);
    if (!fashion.empty()) pictures.push_back({"fashion", fashion});
    return pictures;
}

// Share of input positions whose detail mask passes the network's threshold:
// the fraction of receptive fields the first convolution computes.
double MaskShare(const NetHandle& handle) {
    const cv::Mat& mask = handle.workMask;
    const float threshold = handle.network.maskThreshold;
    int active = 0;
    for (int y = 0; y < mask.rows; ++y)
        for (int x = 0; x < mask.cols; ++x) active += mask.at<float>(y, x) > threshold ? 1 : 0;
    return static_cast<double>(active) / static_cast<double>(mask.total());
}

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// One sample through the network, trained or predicted.
void RunSample(BenchNetwork& network, const Sample& sample, bool train) {
    if (train)
        benchmark::DoNotOptimize(
            network.handle.Train(sample.picture, sample.Region(), sample.Wanted()));
    else
        benchmark::DoNotOptimize(network.handle.Predict(sample.picture, sample.Region()));
}

// The pictures' samples in turn, trained or predicted, one per iteration.
// The first sample after loading also makes the fast path's copies, a cost
// paid once (15 ms for a 64 x 64 training step, and up to ten times that
// after the twin network's turn in Alternating); every benchmark runs it
// before it times anything, so that all measure the steady state of a long
// run. `first_ms` is that untimed first sample.
void Samples(benchmark::State& state, Implementation implementation, int size, unsigned threads,
             const Picture& picture, bool train) {
    ConvolutionLayer::SetImplementation(implementation);
    BenchNetwork network(size, threads);
    const Clock::time_point start = Clock::now();
    RunSample(network, picture.samples.front(), train);
    state.counters["first_ms"] = Milliseconds(start, Clock::now());
    double share = 0.0;
    size_t next = 0;
    for (auto _ : state) {
        RunSample(network, picture.samples[next++ % picture.samples.size()], train);
        share += MaskShare(network.handle);
    }
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["mask_share"] = benchmark::Counter(share, benchmark::Counter::kAvgIterations);
}

// With other work on the machine, the fastest repetition is the one least
// disturbed by it.
double Fastest(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

// Samples per turn of the alternating benchmarks.
constexpr int kTurn = 8;

// One turn: every sample once, trained or predicted.
void RunTurn(BenchNetwork& network, const std::vector<Sample>& samples, bool train) {
    for (const Sample& sample : samples) RunSample(network, sample, train);
}

// Both implementations in turns of kTurn samples, on twin networks (same
// seed) fed the same samples: whatever load the machine carries falls on both
// alike, so the ratio of their summed times is the steadiest measure of the
// speedup. (Turns of several samples: switching networks every sample would
// leave each one's hundred megabytes of state cold in the caches.) Counters are milliseconds per
// sample, of wall time and of the process's processor time (all threads), which waiting for a busy
// machine does not inflate.
void Alternating(benchmark::State& state, bool train, int size, unsigned threads) {
    BenchNetwork reference(size, threads);
    BenchNetwork fast(size, threads);
    const std::vector<Sample> samples = TexturedSamples(size, kTurn);
    const auto useImplementationOf = [&reference](const BenchNetwork* network) {
        ConvolutionLayer::SetImplementation(network == &reference ? Implementation::Reference
                                                                  : Implementation::Fast);
    };
    for (BenchNetwork* network : {&reference, &fast}) {
        useImplementationOf(network);
        RunSample(*network, samples.front(), train);
    }
    double referenceMs = 0.0;
    double fastMs = 0.0;
    double referenceCpuMs = 0.0;
    double fastCpuMs = 0.0;
    for (auto _ : state) {
        for (BenchNetwork* network : {&reference, &fast}) {
            useImplementationOf(network);
            const std::clock_t cpuStart = std::clock();
            const Clock::time_point start = Clock::now();
            RunTurn(*network, samples, train);
            (network == &reference ? referenceMs : fastMs) += Milliseconds(start, Clock::now());
            (network == &reference ? referenceCpuMs : fastCpuMs) +=
                1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        }
    }
    const double samplesRun = static_cast<double>(state.iterations()) * kTurn;
    state.counters["reference_ms"] = referenceMs / samplesRun;
    state.counters["fast_ms"] = fastMs / samplesRun;
    state.counters["speedup"] = referenceMs / fastMs;
    state.counters["reference_cpu_ms"] = referenceCpuMs / samplesRun;
    state.counters["fast_cpu_ms"] = fastCpuMs / samplesRun;
    state.counters["cpu_speedup"] = referenceCpuMs / fastCpuMs;
}

// The fast implementation with one worker and with two, in turns of kTurn
// samples, on twin networks fed the same samples: `scaling` is the
// one-worker time over the two-worker time. Counters are milliseconds per
// sample (wall time).
void Scaling(benchmark::State& state, bool train, int size) {
    ConvolutionLayer::SetImplementation(Implementation::Fast);
    BenchNetwork one(size, 1);
    BenchNetwork two(size, 2);
    const std::vector<Sample> samples = TexturedSamples(size, kTurn);
    for (BenchNetwork* network : {&one, &two}) RunSample(*network, samples.front(), train);
    double oneMs = 0.0;
    double twoMs = 0.0;
    for (auto _ : state) {
        for (BenchNetwork* network : {&one, &two}) {
            const Clock::time_point start = Clock::now();
            RunTurn(*network, samples, train);
            (network == &one ? oneMs : twoMs) += Milliseconds(start, Clock::now());
        }
    }
    const double samplesRun = static_cast<double>(state.iterations()) * kTurn;
    state.counters["one_worker_ms"] = oneMs / samplesRun;
    state.counters["two_workers_ms"] = twoMs / samplesRun;
    state.counters["scaling"] = oneMs / twoMs;
}

// Milliseconds spent in each step of the network's passes, summed.
class StepTimes : public PassObserver {
  public:
    explicit StepTimes(size_t layerCount) : forward(layerCount, 0.0), backward(layerCount, 0.0) {}
    void Begin(Step, size_t) override { start = Clock::now(); }
    void End(Step step, size_t layer) override {
        const double ms = Milliseconds(start, Clock::now());
        switch (step) {
            case Step::Forward:
                forward[layer] += ms;
                break;
            case Step::Backward:
                backward[layer] += ms;
                break;
            case Step::DenseForward:
                denseForward += ms;
                break;
            case Step::DenseBackward:
                denseBackward += ms;
                break;
        }
    }

    std::vector<double> forward;
    std::vector<double> backward;
    double denseForward = 0.0;
    double denseBackward = 0.0;

  private:
    Clock::time_point start;
};

// One training step taken apart: each module's Forward and Backward and the
// dense stack's passes timed on their own by the network's step hook.
// Counters are milliseconds per step.
void LayerBreakdown(benchmark::State& state, Implementation implementation, int size,
                    unsigned threads) {
    ConvolutionLayer::SetImplementation(implementation);
    BenchNetwork bench(size, threads);
    Network& network = bench.handle.network;
    const std::vector<Sample> samples = TexturedSamples(size, 8);
    RunSample(bench, samples.front(), true);
    StepTimes times(network.Layers().size());
    network.Observe(&times);
    size_t next = 0;
    for (auto _ : state) RunSample(bench, samples[next++ % samples.size()], true);
    network.Observe(nullptr);
    for (size_t i = 0; i < times.forward.size(); ++i) {
        const std::string module = "m" + std::to_string(i + 1);
        state.counters[module + "_fwd_ms"] =
            benchmark::Counter(times.forward[i], benchmark::Counter::kAvgIterations);
        state.counters[module + "_bwd_ms"] =
            benchmark::Counter(times.backward[i], benchmark::Counter::kAvgIterations);
    }
    state.counters["dense_fwd_ms"] =
        benchmark::Counter(times.denseForward, benchmark::Counter::kAvgIterations);
    state.counters["dense_bwd_ms"] =
        benchmark::Counter(times.denseBackward, benchmark::Counter::kAvgIterations);
}

// The resident memory of a loaded network after one training step (which
// touches every buffer), and the process's peak so far. Run each size in a
// process of its own for a meaningful peak (scripts/bench.sh does).
void LoadedMemory(benchmark::State& state, Implementation implementation, int size) {
    ConvolutionLayer::SetImplementation(implementation);
    const double before = ProcessMemoryMb("VmRSS");
    BenchNetwork network(size, 1);
    const Sample sample = TexturedSamples(size, 1).front();
    network.handle.Train(sample.picture, sample.Region(), sample.Wanted());
    for (auto _ : state) benchmark::DoNotOptimize(ProcessMemoryMb("VmRSS"));
    state.counters["network_mb"] = ProcessMemoryMb("VmRSS") - before;
    state.counters["rss_mb"] = ProcessMemoryMb("VmRSS");
    state.counters["peak_mb"] = ProcessMemoryMb("VmHWM");
}

void Register(const std::string& name, bool train, const NamedImplementation& implementation,
              int size, unsigned threads, const Picture& picture) {
    benchmark::RegisterBenchmark((name + "/" + implementation.name).c_str(), Samples,
                                 implementation.value, size, threads, picture, train)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->ComputeStatistics("min", Fastest);
}

// Reference and fast right after each other for every configuration.
void RegisterAll() {
    for (const int size : kSizes) {
        const std::string edge = std::to_string(size) + "x" + std::to_string(size);
        for (const Picture& picture : Pictures(size)) {
            for (const unsigned threads : kThreadCounts) {
                const std::string suffix =
                    edge + "/threads:" + std::to_string(threads) + "/" + picture.name;
                std::vector<NamedImplementation> implementations{kReference, kFast};
                // The AVX2 lanes, as a processor without AVX-512 runs them, and
                // the plain-loop lanes, as one without AVX2 runs them.
                if (size == 64 && threads == 1) {
                    if (ConvLanes::Avx512() != nullptr) implementations.push_back(kFastAvx2);
                    implementations.push_back(kFastPortable);
                }
                for (const NamedImplementation& implementation : implementations)
                    Register("TrainOne/" + suffix, true, implementation, size, threads, picture);
                for (const NamedImplementation& implementation : implementations)
                    Register("Predict/" + suffix, false, implementation, size, threads, picture);
            }
        }
        for (const unsigned threads : kThreadCounts)
            for (const bool train : {true, false})
                benchmark::RegisterBenchmark(
                    (std::string(train ? "Speedup/TrainOne/" : "Speedup/Predict/") + edge +
                     "/threads:" + std::to_string(threads))
                        .c_str(),
                    Alternating, train, size, threads)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
        for (const bool train : {true, false})
            benchmark::RegisterBenchmark(
                (std::string(train ? "Scaling/TrainOne/" : "Scaling/Predict/") + edge).c_str(),
                Scaling, train, size)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        // The fast path also with two workers, to show which modules split well.
        for (const unsigned threads : kThreadCounts)
            for (const NamedImplementation& implementation : {kReference, kFast}) {
                if (threads > 1 && implementation.value != kFast.value) continue;
                benchmark::RegisterBenchmark(("Layers/" + edge + "/threads:" +
                                              std::to_string(threads) + "/" + implementation.name)
                                                 .c_str(),
                                             LayerBreakdown, implementation.value, size, threads)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->MeasureProcessCPUTime()
                    ->ComputeStatistics("min", Fastest);
            }
        for (const NamedImplementation& implementation : {kReference, kFast})
            benchmark::RegisterBenchmark(("Memory/" + edge + "/" + implementation.name).c_str(),
                                         LoadedMemory, implementation.value, size)
                ->Iterations(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

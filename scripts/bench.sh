#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them. The build goes to
# build/bench-release, apart from a build configured in build/ itself, whose
# bench/ it would overwrite. Every configuration runs its reference and fast
# implementations back to back, each repeated, so that the machine's load
# affects both alike; the "Speedup" benchmarks alternate the two
# implementations in turns of eight samples.
#
#   scripts/bench.sh                    everything
#   scripts/bench.sh 'TrainOne/64x64'   only benchmarks matching a filter
#
# Extra arguments after the filter go to the benchmark binary. With no
# filter, the memory benchmarks run first, each size in a process of its
# own, so that each peak is its own.
set -euo pipefail
cd "$(dirname "$0")/.."

filter=${1:-.}
shift || true
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

mkdir -p build
cmake -S . -B build/bench-release -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF > build/bench-release.configure.log 2>&1 ||
  { cat build/bench-release.configure.log; exit 1; }
cmake --build build/bench-release -j"$jobs" --target corvane_bench

bench=build/bench-release/bench/corvane_bench
echo "== $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs, load: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$filter" = "." ]; then
  for size in 32x32 64x64 128x128; do
    for implementation in Reference Fast; do
      "$bench" --benchmark_filter="^Memory/$size/$implementation/" "$@"
    done
  done
  filter="-Memory"
fi
"$bench" --benchmark_filter="$filter" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true "$@"

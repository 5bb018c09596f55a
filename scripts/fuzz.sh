#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz and runs each one for a bounded
# time: the first argument, in seconds (default 60). Seeds come from
# fuzz/corpus/<target>; what a run adds goes to build/fuzz/corpus/<target>,
# never into the repository. Exits non-zero on the first finding; its input
# is kept as build/fuzz/artifacts/<target>-crash-... (or -timeout-, -oom-).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh

# Absolute: the fuzzers move into a temporary folder of their own before
# they read their corpus folders.
dir=$PWD/build/fuzz
mkdir -p "$dir"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVANE_FUZZ=ON -DCORVANE_BUILD_TESTS=OFF -DCORVANE_WERROR=ON > "$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j2 --target fuzz_network_file fuzz_predict

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in network_file predict; do
  mkdir -p "$dir/corpus/$target" "$dir/artifacts"
  echo "fuzz_$target: ${seconds} s"
  # -timeout: one input may take at most 10 s; -rss_limit_mb: the whole run
  # stays within 2 GiB. Both count as findings.
  "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" \
    "$dir/corpus/$target" "$PWD/fuzz/corpus/$target" 2> "$dir/$target.log" ||
    { tail -n 60 "$dir/$target.log"; echo "fuzz_$target: finding, see $dir/artifacts"; exit 1; }
  grep -E "^stat::number_of_executed_units|^#[0-9]+ +DONE" "$dir/$target.log" || true
done
echo "fuzzers: no finding"

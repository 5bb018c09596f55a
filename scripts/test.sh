#!/usr/bin/env bash
# Checks that the tests stay in proportion to the code, then builds and runs
# the whole test suite: a warnings-as-errors release build,
# then the same suite under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer, and finally the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/test-proportion.sh
bash scripts/setup.sh

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCORVANE_WERROR=ON "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

mkdir -p build
run_suite build/release -DCMAKE_BUILD_TYPE=Release
# The fuzzers, about a minute each (CORVANE_FUZZ_SECONDS to change it, 0 to skip).
fuzz_seconds=${CORVANE_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" != "0" ]; then
  bash scripts/fuzz.sh "$fuzz_seconds"
fi
if [ "${CORVANE_SKIP_SANITIZERS:-0}" != "1" ]; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCORVANE_SANITIZE=address;undefined"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    run_suite build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=thread
fi

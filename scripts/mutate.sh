#!/usr/bin/env bash
# Measures how many small faults the release suite catches. Each fault is
# applied alone to a scratch copy of the sources, the copy is rebuilt
# incrementally and the whole suite runs with a time limit; a fault is caught
# when a test fails (or the suite times out) and missed when all tests pass.
#
#   scripts/mutate.sh [LIST]     default: scripts/mutations.txt
#
# A line of LIST is: path <TAB> text <TAB> replacement. The first occurrence
# of the text in that file is replaced; "\t" and "\n" in text or replacement
# stand for a tab and a line end. Lines starting with '#' and empty lines are
# skipped. A text that is not found, or a fault that does not build, is
# reported as such and not counted.
#
# CORVANE_MUTATE_DIR: the scratch folder (default: $TMPDIR/corvane-mutate);
# CORVANE_MUTATE_TIMEOUT: seconds the suite may take per fault (default 400).
set -euo pipefail
list=$(realpath "${1:-$(dirname "$0")/mutations.txt}")
cd "$(dirname "$0")/.."
root=$PWD
scratch=${CORVANE_MUTATE_DIR:-${TMPDIR:-/tmp}/corvane-mutate}
limit=${CORVANE_MUTATE_TIMEOUT:-400}
jobs=$(nproc)
# Others share the machine: everything below runs at the lowest priority.
renice -n 19 -p $$ > /dev/null

bash scripts/setup.sh rsync
[ -f "$list" ] || { echo "no fault list: $list" >&2; exit 2; }

# The scratch copy keeps its build between runs, so only what a fault
# touches is rebuilt.
mkdir -p "$scratch/src"
# Changed files get a fresh time stamp (no -t), so a kept build never
# takes a source older than its objects for an unchanged one.
rsync -rlpD --checksum --delete --exclude '/build*' --exclude '/.git' "$root/" "$scratch/src/"
cmake -S "$scratch/src" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release > "$scratch/configure.log" 2>&1 ||
  { cat "$scratch/configure.log"; exit 1; }
echo "== building the unchanged copy"
cmake --build "$scratch/build" -j"$jobs" > "$scratch/build.log" 2>&1 || { tail -n 30 "$scratch/build.log"; exit 1; }

costs="$scratch/build/Testing/Temporary/CTestCostData.txt"
run_suite() {
  # ctest starts the costliest tests first; with the costs inverted the quick
  # tests run first and --stop-on-failure ends a caught fault early.
  [ ! -f "$scratch/fast-first.txt" ] || cp "$scratch/fast-first.txt" "$costs"
  (cd "$scratch/build" &&
    timeout --kill-after=30 "$limit" ctest -j"$jobs" --stop-on-failure --output-on-failure \
      > "$scratch/ctest.log" 2>&1 < /dev/null)
}
echo "== the unchanged suite"
rm -f "$scratch/fast-first.txt" "$costs"
run_suite || { echo "the suite fails without any fault; see $scratch/ctest.log" >&2; exit 1; }
grep -o 'Total Test time (real) = .*' "$scratch/ctest.log" || true
# Cost lines are "name runs seconds"; the failed-test section after "---" is dropped.
awk '$0 == "---" { exit } NF == 3 { name[NR] = $1; runs[NR] = $2; cost[NR] = $3; if ($3 > top) top = $3 }
     END { for (i in name) printf "%s %s %.4f\n", name[i], runs[i], top + 1 - cost[i]; print "---" }' \
  "$costs" > "$scratch/fast-first.txt"

# Replaces the first occurrence of a literal text; exit 3 when it is absent.
apply_fault() {
  python3 - "$1" "$2" "$3" << 'EOF'
import sys
path, text, replacement = sys.argv[1:4]
unescape = lambda s: s.replace("\\t", "\t").replace("\\n", "\n")
text, replacement = unescape(text), unescape(replacement)
with open(path, encoding="utf-8") as f:
    content = f.read()
at = content.find(text)
if at < 0:
    sys.exit(3)
with open(path, "w", encoding="utf-8") as f:
    f.write(content[:at] + replacement + content[at + len(text):])
EOF
}

caught=0
missed=0
missed_list=()
number=0
while IFS=$'\t' read -r -u 3 path text replacement || [ -n "$path" ]; do
  [[ -z "$path" || "$path" == \#* ]] && continue
  number=$((number + 1))
  label="#$number $path: '$text' -> '$replacement'"
  target="$scratch/src/$path"
  if [ ! -f "$target" ]; then
    echo "not found (no such file)  $label"
    continue
  fi
  cp -p "$target" "$scratch/original"
  start=$SECONDS
  if apply_fault "$target" "$text" "$replacement"; then
    if ! cmake --build "$scratch/build" -j"$jobs" > "$scratch/build.log" 2>&1 < /dev/null; then
      echo "does not build            $label"
    elif run_suite; then
      echo "MISSED                    $label  ($((SECONDS - start)) s)"
      missed=$((missed + 1))
      missed_list+=("#$number")
    else
      first=$(grep -m1 -oE '[0-9]+ - [^ ]+ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)' "$scratch/ctest.log" || echo "time limit")
      echo "caught                    $label  ($((SECONDS - start)) s; $first)"
      caught=$((caught + 1))
    fi
  else
    echo "not found (text)          $label"
  fi
  # Restore the file with a fresh time stamp, so the next build sees it changed.
  cp "$scratch/original" "$target"
  touch "$target"
done 3< "$list"

cmake --build "$scratch/build" -j"$jobs" > "$scratch/build.log" 2>&1 || true
[ ${#missed_list[@]} -eq 0 ] || echo "missed: ${missed_list[*]}"
echo "$caught caught, $missed missed"

#!/usr/bin/env bash
# Keeps the tests in proportion to the code: fails when the lines under the
# test folders exceed 35 % of the lines of the code they test.
set -euo pipefail
cd "$(dirname "$0")/.."
limit_percent=35

count_lines() {
  local folder
  local -a files=()
  for folder in "$@"; do
    [ -d "$folder" ] || continue
    while IFS= read -r -d '' file; do files+=("$file"); done < <(
      find "$folder" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' \) \
        -not -path '*/__pycache__/*' -print0)
  done
  if [ ${#files[@]} -eq 0 ]; then echo 0; else cat "${files[@]}" | wc -l; fi
}

# .pyi stubs only live with the code; the tests have none.
test_lines=$(count_lines tests python/tests)
code_lines=$(count_lines src include tools python/src)
percent=$(awk -v t="$test_lines" -v c="$code_lines" 'BEGIN { printf "%.1f", c ? 100 * t / c : 100 }')
echo "test lines: $test_lines, code lines: $code_lines, tests are $percent % of the code (at most $limit_percent %)"
if [ $((test_lines * 100)) -gt $((code_lines * limit_percent)) ]; then
  echo "too many test lines: merge or cut tests before adding more" >&2
  exit 1
fi

#!/usr/bin/env bash
# Runs one build's tests RUNS times and reports, per test, how many of the
# runs it failed; a test counts as passed only when it passed in every run.
#
#   ctest-repeat.sh BUILD_DIR JOBS RUNS [CTEST_ARGS...]
#
# Prints each run's ctest output, then one "repeat: NAME failed in F of RUNS
# runs" line per failing test and, last, "ctest-repeat: P passed, F failed"
# (counting tests, not runs). Exit code 0 when nothing failed.
set -uo pipefail
dir=${1:?usage: ctest-repeat.sh BUILD_DIR JOBS RUNS [CTEST_ARGS...]}
jobs=${2:?usage: ctest-repeat.sh BUILD_DIR JOBS RUNS [CTEST_ARGS...]}
runs=${3:?usage: ctest-repeat.sh BUILD_DIR JOBS RUNS [CTEST_ARGS...]}
shift 3

declare -A failures=()
total=0
broken=0  # runs that ended without ctest's summary
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for ((run = 1; run <= runs; run++)); do
  [ "$runs" -eq 1 ] || echo "== run $run of $runs: $dir =="
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 1200 "$@") 2>&1 | tee "$log"
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    broken=$((broken + 1))
    continue
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  # ctest's list after "The following tests FAILED:": "   11 - NAME (Failed)".
  while read -r name; do
    failures[$name]=$((${failures[$name]:-0} + 1))
  done < <(sed -n '/The following tests FAILED:/,$p' "$log" | sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+) .*/\1/p')
done

for name in $(printf '%s\n' "${!failures[@]}" | sort); do
  echo "repeat: $name failed in ${failures[$name]} of $runs runs"
done
[ "$broken" -eq 0 ] || echo "repeat: $broken of $runs runs ended without ctest's summary"
failed=$((${#failures[@]} + broken))
echo "ctest-repeat: $((total - ${#failures[@]})) passed, $failed failed"
[ "$failed" -eq 0 ]

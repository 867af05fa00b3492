#!/usr/bin/env bash
# The host benchmark of the check cycle and of the Exchange check.
#
#   bash scripts/bench.sh [BENCHMARK FLAGS]   e.g. --benchmark_filter='cycle/15/.*'
#
# Builds talv_bench optimised and without sanitizers in build/bench
# (TALV_BENCH_BUILD overrides; the host build in build/host builds the same
# program under ASan, which is for correctness, not for timing), runs every
# case (TALV_BENCH_MIN_TIME seconds each, default 0.2; TALV_BENCH_REPETITIONS
# runs each, default 1, the median kept) and prints the tables. Then, when
# valgrind is there, counts the instructions of one warm cycle at 15 letters
# x 64 pools x 64 disks, matching disk last, and of its stand-in replay.
# Exits non-zero when a count differs from what the lookup's algorithm implies.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
out=${TALV_BENCH_BUILD:-$top/build/bench}
jobs=${TALV_JOBS:-$(nproc)}
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

cmake -S . -B "$out" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DTALV_SANITIZE=OFF >/dev/null
cmake --build "$out" -j "$jobs" --target talv_bench >/dev/null
bench=$out/bench/talv_bench

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) cores," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg), $(uname -sr)"
echo
status=0
"$bench" --benchmark_min_time="${TALV_BENCH_MIN_TIME:-0.2}" \
  --benchmark_repetitions="${TALV_BENCH_REPETITIONS:-1}" "$@" || status=$?

if command -v valgrind >/dev/null 2>&1 && command -v callgrind_annotate >/dev/null 2>&1; then
  case=15/64/64/last
  cg=$(mktemp /tmp/talv-callgrind.XXXXXX)
  calls=$(valgrind --tool=callgrind --callgrind-out-file="$cg" "$bench" --talv_once=$case 2>/dev/null |
    awk '/^calls/ { print $2 }')
  # Inclusive instruction counts of the one cycle and of its replay.
  ir() {
    callgrind_annotate --inclusive=yes --threshold=100 "$cg" 2>/dev/null | tr -d ',' |
      awk -v f="$1" 'index($0, f) && !done { print $1; done = 1 }'
  }
  cycle=$(ir TalvBenchOneCycle)
  replay=$(ir TalvBenchOneReplay)
  echo
  echo "Instructions of one warm cycle ($case, callgrind)"
  echo
  echo "| cycle | stand-in replay | calls | own instructions per call |"
  echo "|---:|---:|---:|---:|"
  if [ -n "$cycle" ] && [ -n "$replay" ] && [ -n "$calls" ]; then
    echo "| $cycle | $replay | $calls | $(( (cycle - replay) / calls )) |"
  else
    echo "| (callgrind gave no count) | | | |"
  fi
  rm -f "$cg"
fi
exit "$status"

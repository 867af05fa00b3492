#!/usr/bin/env bash
# Fuzzes the registry script interpreter with libFuzzer for a bounded time.
#
#   bash scripts/fuzz.sh [SECONDS]     default 60
#
# Builds tests/fuzz/registry_script_fuzz.cpp with clang (libFuzzer, ASan,
# UBSan) in build/fuzz (TALV_FUZZ_BUILD overrides), runs it on one core
# from the committed seed corpus plus the inputs it found before, prints
# the number of executions, and exits non-zero on a finding (the input is
# kept in the build folder's artifacts/).
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${TALV_FUZZ_BUILD:-$root/build/fuzz}
CXX=${CXX_FUZZ:-clang++}
mkdir -p "$out/corpus" "$out/artifacts"

sources=(
  "$root/tests/fuzz/registry_script_fuzz.cpp"
  "$root/registration/registry_script.cpp"
  "$root/platform/sim/sim_registry.cpp"
  "$root/platform/sim/sim_resources.cpp"
)
"$CXX" -std=c++20 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Wall -Wextra -Werror -Wno-missing-field-initializers \
  -I"$root" "${sources[@]}" -o "$out/registry_script_fuzz"

log="$out/last-run.log"
set +e
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$out/registry_script_fuzz" "$out/corpus" "$root/tests/fuzz/corpus" \
  -dict="$root/tests/fuzz/registry_script.dict" \
  -max_total_time="$seconds" -max_len=12000 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$out/artifacts/" -print_final_stats=1 >"$log" 2>&1
rc=$?
set -e

runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' | tail -1 || true)
if [ -z "$runs" ]; then
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -1 || true)
fi
echo "fuzz: ${runs:-0} executions in ${seconds} s (log: $log)"
if [ "$rc" -ne 0 ]; then
  echo "fuzz: finding (exit $rc):" >&2
  grep -E 'ERROR|finding|SUMMARY|runtime error|Test unit written' "$log" >&2 || tail -30 "$log" >&2
  exit 1
fi

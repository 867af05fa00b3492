#!/usr/bin/env bash
# Fuzzes with libFuzzer for a bounded time: the registry script interpreter
# (registry_script) and the pool lookup against a storage library played by
# the input (storage_answers).
#
#   bash scripts/fuzz.sh [SECONDS [TARGET]]   default 60 s, split between both
#   bash scripts/fuzz.sh seeds                 rewrites the storage_answers seeds
#
# Builds each target from tests/fuzz/ with clang (libFuzzer, ASan, UBSan) in
# build/fuzz (TALV_FUZZ_BUILD overrides), runs it on one core from its
# committed seed corpus plus the inputs it found before, prints the number
# of executions, and exits non-zero on a finding (the input is kept in the
# build folder's artifacts/).
set -euo pipefail

seconds=${1:-60}
only=${2:-}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${TALV_FUZZ_BUILD:-$root/build/fuzz}
CXX=${CXX_FUZZ:-clang++}
mkdir -p "$out/artifacts"

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer
  -fsanitize=address,undefined -fno-sanitize-recover=all
  -Wall -Wextra -Werror -Wno-missing-field-initializers -I"$root")

# Compiles one source into the object folder unless its object is newer
# than the source and every header of the tree; prints the object's path.
newest_header=$(find "$root" -path "$root/build" -prune -o -name '*.h' -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2)
object() {
  local src=$1 obj
  shift
  obj="$out/obj/$(realpath --relative-to="$root" "$src" | tr / _)$*.o"
  obj=${obj// /}
  if [ ! "$obj" -nt "$src" ] || [ ! "$obj" -nt "$newest_header" ]; then
    mkdir -p "$out/obj"
    "$CXX" "${flags[@]}" "$@" -c "$src" -o "$obj"
  fi
  echo "$obj"
}

# Links $1 from the sources after it (the first is the target's own file).
build() {
  local binary=$1 objs=() src
  shift
  local main=$1
  shift
  objs+=("$(object "$main" -fsanitize=fuzzer)")
  for src in "$@"; do objs+=("$(object "$src" -fsanitize=fuzzer-no-link)"); done
  "$CXX" "${flags[@]}" -fsanitize=fuzzer "${objs[@]}" -lpthread -o "$binary"
}

core_sources() {
  find "$root"/{monitor,shutdown,service,registration} "$root/platform/sim" -name '*.cpp' \
    ! -name winmain.cpp | sort
}

failed=0
# run NAME SECONDS [libFuzzer options...]
run() {
  local name=$1 secs=$2
  shift 2
  local log="$out/$name.last-run.log" rc runs
  mkdir -p "$out/corpus/$name"
  set +e
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$out/${name}_fuzz" "$out/corpus/$name" "$root/tests/fuzz/corpus/$name" \
    -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$out/artifacts/$name-" -print_final_stats=1 "$@" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -1 || true)
  if [ -z "$runs" ]; then
    runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' | tail -1 || true)
  fi
  echo "fuzz $name: ${runs:-0} executions in ${secs} s (log: $log)"
  if [ "$rc" -ne 0 ]; then
    echo "fuzz $name: finding (exit $rc):" >&2
    grep -E 'ERROR|finding|SUMMARY|runtime error|Test unit written' "$log" >&2 || tail -30 "$log" >&2
    failed=1
  fi
}

if [ "$seconds" = seeds ]; then
  # The storage seeds: the host tests' storage stand-in, recorded in its
  # worlds (see tests/fuzz/storage_answers_fuzz.cpp).
  mapfile -t sources < <(core_sources)
  objs=("$(object "$root/tests/fuzz/storage_answers_fuzz.cpp" -DTALV_STORAGE_FUZZ_RECORD)")
  for src in "${sources[@]}"; do objs+=("$(object "$src" -fsanitize=fuzzer-no-link)"); done
  "$CXX" "${flags[@]}" "${objs[@]}" -lpthread -o "$out/storage_answers_record"
  mkdir -p "$root/tests/fuzz/corpus/storage_answers"
  "$out/storage_answers_record" "$root/tests/fuzz/corpus/storage_answers"
  ls -l "$root/tests/fuzz/corpus/storage_answers"
  exit 0
fi

share=$seconds
[ -z "$only" ] && share=$(( (seconds + 1) / 2 ))

if [ -z "$only" ] || [ "$only" = registry_script ]; then
  build "$out/registry_script_fuzz" "$root/tests/fuzz/registry_script_fuzz.cpp" \
    "$root/registration/registry_script.cpp" "$root/platform/sim/sim_registry.cpp" \
    "$root/platform/sim/sim_resources.cpp"
  run registry_script "$share" -dict="$root/tests/fuzz/registry_script.dict" -max_len=12000
fi
if [ -z "$only" ] || [ "$only" = storage_answers ]; then
  mapfile -t sources < <(core_sources)
  build "$out/storage_answers_fuzz" "$root/tests/fuzz/storage_answers_fuzz.cpp" "${sources[@]}"
  # No single allocation of 64 MB or more: the lookup caps its lists at 4.1 MiB.
  run storage_answers "$share" -dict="$root/tests/fuzz/storage_answers.dict" -max_len=8192 \
    -malloc_limit_mb=64
fi
exit "$failed"

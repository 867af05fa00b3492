#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the host build and
# both Windows builds (x64 and x86), runs the host tests (ASan+UBSan) and
# each Windows build's tests under Wine, and ends with one summary line.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/install-deps.sh || exit 1
bash scripts/build.sh || { echo "build failed"; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
jobs=${TALV_JOBS:-$(nproc)}

# TALV_REPEAT=N runs each Windows build's tests N times (default 1) and
# names every test that failed in any run, with how many runs it failed; a
# test counts as passed only when it passed in every run.
repeat=${TALV_REPEAT:-1}
passed=0
failed=0
run_ctest() {
  local dir=$1 n=${2:-$jobs} runs=${3:-1} log  # $2: parallel jobs, $3: runs; the rest: more ctest arguments
  shift; [ $# -gt 0 ] && shift; [ $# -gt 0 ] && shift
  log=$(mktemp)
  bash scripts/ctest-repeat.sh "$dir" "$n" "$runs" "$@" 2>&1 | tee "$log"
  local line
  line=$(grep -E '^ctest-repeat: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    passed=$((passed + $(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$line")))
    failed=$((failed + $(sed -E 's/.*, ([0-9]+) failed/\1/' <<<"$line")))
  else
    failed=$((failed + 1))
  fi
  rm -f "$log"
}

echo "== host tests (simulated platform, ASan+UBSan) =="
run_ctest build/host
# The end-to-end scenarios mostly wait for their minute ticks: run more at once.
echo "== Windows tests under Wine: x64 build =="
run_ctest build/win64 4 "$repeat"
# Some hosts run 64-bit user code only: the kernel refuses an i386 program
# ("Exec format error"), so no 32-bit Windows program starts under Wine
# there. The x86 build is still built; its Wine tests are then skipped, and
# the summary says so; its image test, which needs no Wine, still runs. Any
# other failure of the probe runs them, and they fail.
skipped=""
runs_32bit() {
  local out
  out=$(/usr/lib/wine/wine --version 2>&1) && return 0
  ! grep -q "Exec format error" <<<"$out"
}
echo "== Windows tests under Wine: x86 build =="
if runs_32bit; then
  run_ctest build/win32 4 "$repeat"
else
  skipped=" (x86 build's tests under Wine skipped: this kernel runs no 32-bit programs)"
  echo "skipped: this kernel runs no 32-bit programs (i386 execve: Exec format error); the image test runs"
  run_ctest build/win32 1 1 -R '^talvmon_image$'
fi

echo "== fuzzing the registry script interpreter and the pool lookup (${TALV_FUZZ_SECONDS:-60} s in all) =="
if bash scripts/fuzz.sh "${TALV_FUZZ_SECONDS:-60}"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi

echo "tests: $passed passed, $failed failed$skipped"
[ "$failed" -eq 0 ]

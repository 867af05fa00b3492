#!/usr/bin/env bash
# Line and branch coverage of the product's own code by the host tests.
#
#   bash scripts/coverage.sh
#
# Builds the host tests with gcc --coverage, without sanitizers, in
# build/coverage (TALV_COVERAGE_BUILD overrides), runs them with ctest, and
# reports with Debian's gcovr, for monitor/, shutdown/, service/ and
# registration/ only (not platform/ or tests/): one table per file with the
# lines never run, then the totals. Branches that only an exception or
# unreachable code would take are left out. Not part of the test command.
# Installs gcovr when it is missing (as root; otherwise says so and stops).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
out=${TALV_COVERAGE_BUILD:-$top/build/coverage}
jobs=${TALV_JOBS:-$(nproc)}
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

if ! command -v gcovr >/dev/null 2>&1; then
  if [ "$(id -u)" != 0 ]; then
    echo "coverage: gcovr is missing; run as root once to install it (apt-get install gcovr)" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q -t bookworm --no-install-recommends gcovr >/dev/null ||
    { echo "coverage: could not install gcovr" >&2; exit 1; }
fi

cmake -S . -B "$out" "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DTALV_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_C_FLAGS="--coverage -O0" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$out" -j "$jobs" --target talv_unit_tests talv_contract_sim >/dev/null
# Counts of earlier runs would add up.
find "$out" -name '*.gcda' -delete
# A failing test still leaves its counts: the report is made either way, and
# the failures are named.
log=$out/ctest.log
(cd "$out" && ctest -j "$jobs" --timeout 1200 -R '^(unit|contract_sim)$' --output-on-failure) >"$log" 2>&1 || true
grep -E 'tests passed|^\[  FAILED  \] [A-Za-z_.]+$' "$log" || true

filters=()
for d in monitor shutdown service registration; do filters+=(--filter "$top/$d/"); done
# CMake's compiler checks leave objects without data: not searched.
common=(--root "$top" "${filters[@]}" --object-directory "$out"
  --exclude-directories '.*/CMakeFiles/[0-9][^/]*$' --exclude-throw-branches
  --exclude-unreachable-branches)
echo
echo "== lines (Missing: the product lines never run) =="
gcovr "${common[@]}" --txt
echo
echo "== branches =="
gcovr "${common[@]}" --txt --branches
echo
gcovr "${common[@]}" --print-summary --txt /dev/null | grep -E '^(lines|functions|branches):'

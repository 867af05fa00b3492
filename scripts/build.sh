#!/usr/bin/env bash
# Builds both builds: the host build (g++, simulated platform, ASan+UBSan)
# in build/host and the Windows build (mingw-w64 x86-64) in build/win64.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${TALV_JOBS:-$(nproc)}
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

cmake -S . -B build/host "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DTALV_SANITIZE=ON >/dev/null
cmake --build build/host -j "$jobs"

cmake -S . -B build/win64 "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-x86_64.cmake" >/dev/null
cmake --build build/win64 -j "$jobs"

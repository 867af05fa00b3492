#!/usr/bin/env bash
# Builds all three builds: the host build (g++, simulated platform,
# ASan+UBSan) in build/host, and the Windows builds with mingw-w64, x86-64
# in build/win64 and 32-bit x86 in build/win32. The two talvmon.exe files
# that ship are then copied side by side, named by their Windows:
#   build/release/x64/talvmon.exe   for 64-bit Windows (x86-64)
#   build/release/x86/talvmon.exe   for 32-bit Windows
# and each Windows build's Windows Installer package (made with wixl) beside
# them: build/release/talvmon-x64.msi and build/release/talvmon-x86.msi.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${TALV_JOBS:-$(nproc)}
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

cmake -S . -B build/host "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DTALV_SANITIZE=ON >/dev/null
cmake --build build/host -j "$jobs"

for pair in win64:mingw-x86_64.cmake:x64 win32:mingw-i686.cmake:x86; do
  IFS=: read -r dir toolchain arch <<<"$pair"
  cmake -S . -B "build/$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$toolchain" >/dev/null
  cmake --build "build/$dir" -j "$jobs"
  mkdir -p "build/release/$arch"
  cp "build/$dir/bin/talvmon.exe" "build/release/$arch/talvmon.exe"
  cp "build/$dir/package/talvmon-$arch.msi" "build/release/talvmon-$arch.msi"
done

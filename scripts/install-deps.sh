#!/usr/bin/env bash
# Installs what the builds and the Wine test bed need on Debian 12 (as root).
# Does nothing when everything is already there.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have g++ || need+=(g++)
have ninja || need+=(ninja-build)
have x86_64-w64-mingw32-g++-posix || need+=(mingw-w64)
have i686-w64-mingw32-g++-posix || need+=(mingw-w64)
have x86_64-w64-mingw32-widl || need+=(mingw-w64-tools)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
have flock || need+=(util-linux)
have python3 || need+=(python3)
have clang++ || need+=(clang)
[ -n "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] || need+=(libclang-rt-dev)

# Wine's 32-bit half, for the x86 build's programs: an i386 package, so the
# architecture must be known to dpkg before the package lists are read.
need_i386=0
[ -x /usr/lib/wine/wine ] || need_i386=1

if [ ${#need[@]} -gt 0 ] || [ "$need_i386" = 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing ${need[*]}; run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [ "$need_i386" = 1 ]; then
    dpkg --add-architecture i386
    need+=(wine32:i386)
  fi
  echo "install-deps: installing ${need[*]}"
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

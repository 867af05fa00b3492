#!/usr/bin/env bash
# Installs what the builds and the Wine test bed need on Debian 12 (as root).
# Does nothing when everything is already there.
#
# A mirror can be caught half-synced: one index fails to download, or the
# amd64 libraries come from the security suite while its i386 index is
# missing, so the i386 halves of Multi-Arch: same libraries cannot be had.
# The script then goes on with the lists it has, retries the install with
# every architecture held to the release's main suite, and checks afterwards
# that every tool is really there. Each fallback it takes prints one line.
#
# For tests of these decisions: TALV_APT names a command that stands in for
# the package manager (called as `$TALV_APT apt-get ...` / `$TALV_APT dpkg
# ...`), TALV_ROOT is where the tools are looked for, and TALV_APT_PAUSE is
# the pause between tries in seconds.
set -uo pipefail

root=${TALV_ROOT:-}
pause=${TALV_APT_PAUSE:-5}
say() { echo "install-deps: $*"; }

# Every package-manager call goes through here.
pm() {
  if [ -n "${TALV_APT:-}" ]; then "$TALV_APT" "$@"; else "$@"; fi
}

have() {
  if [ -n "$root" ]; then [ -x "$root/usr/bin/$1" ]; else command -v "$1" >/dev/null 2>&1; fi
}

# Fills `need` with the packages whose tools are missing; the i386 half of
# Wine goes in as wine32:i386.
missing() {
  need=()
  have cmake || need+=(cmake)
  have g++ || need+=(g++)
  have ninja || need+=(ninja-build)
  { have x86_64-w64-mingw32-g++-posix && have i686-w64-mingw32-g++-posix; } || need+=(mingw-w64)
  have x86_64-w64-mingw32-widl || need+=(mingw-w64-tools)
  # The message compilers, for the executable's message table.
  { have x86_64-w64-mingw32-windmc && have i686-w64-mingw32-windmc; } || need+=(binutils-mingw-w64)
  [ -x "$root/usr/lib/wine/wine64" ] || need+=(wine64)
  [ -x "$root/usr/lib/wine/wine" ] || need+=(wine32:i386)
  [ -f "$root/usr/src/googletest/CMakeLists.txt" ] || need+=(googletest)
  # Google Benchmark, for the host build's benchmark (bench/).
  [ -f "$root/usr/include/benchmark/benchmark.h" ] || need+=(libbenchmark-dev)
  # The Windows Installer packages.
  have wixl || need+=(wixl)
  have flock || need+=(util-linux)
  have python3 || need+=(python3)
  have clang++ || need+=(clang)
  compgen -G "$root/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
    need+=(libclang-rt-dev)
}

missing
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ] && [ -z "${TALV_APT:-}" ]; then
  echo "install-deps: missing ${need[*]}; run as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# Wine's 32-bit half is an i386 package: the architecture must be known to
# dpkg before the package lists are read.
if [[ " ${need[*]} " == *":i386 "* ]] && ! pm dpkg --print-foreign-architectures | grep -qx i386; then
  pm dpkg --add-architecture i386 || { say "dpkg cannot add the i386 architecture"; exit 1; }
fi

# The package lists: a few tries. A partial failure (one index out of sync)
# leaves the other lists usable; only no lists at all ends the run.
lists_usable() { compgen -G "$root/var/lib/apt/lists/*_Packages*" >/dev/null; }
updated=0
for try in 1 2 3; do
  out=$(pm apt-get update -q 2>&1)
  rc=$?
  failed=$(grep -cE '^(E|W): (Failed to fetch|Some index files)' <<<"$out")
  if [ "$rc" = 0 ] && [ "$failed" = 0 ]; then updated=1; break; fi
  grep -E '^(Err|E):' <<<"$out" | sed 's/^/  /'
  if [ "$try" -lt 3 ]; then
    say "apt-get update failed (exit $rc, try $try of 3); trying again in ${pause}s"
    sleep "$pause"
  fi
done
if [ "$updated" = 0 ]; then
  if lists_usable; then
    say "apt-get update failed partly; going on with the package lists it has"
  else
    say "apt-get update failed and there are no usable package lists"
    exit 1
  fi
fi

wanted=("${need[@]}")
say "installing ${wanted[*]}"
pm apt-get install -y -q --no-install-recommends "${wanted[@]}"
rc=$?
missing
if [ ${#need[@]} -gt 0 ]; then
  if [ "$rc" != 0 ]; then
    say "apt-get install failed (exit $rc)"
  else
    say "apt-get install succeeded but ${need[*]} still missing"
  fi
  # Hold every architecture to the release's main suite. Wine is named in
  # both halves (installing one half alone can take the other out), and any
  # package apt would still remove is named for both architectures.
  suite=$( (. "$root/etc/os-release" 2>/dev/null && echo "${VERSION_CODENAME:-}") )
  suite=${suite:-bookworm}
  list=("${wanted[@]}")
  add() { [[ " ${list[*]} " == *" $1 "* ]] || list+=("$1"); }
  if [[ " ${list[*]} " == *" wine64 "* || " ${list[*]} " == *" wine32:i386 "* ]]; then
    add wine64
    add wine32:i386
  fi
  for round in 1 2 3 4; do
    removed=$(pm apt-get install -s -t "$suite" --no-install-recommends "${list[@]}" 2>/dev/null |
      awk '$1 == "Remv" { print $2 }')
    [ -n "$removed" ] || break
    for r in $removed; do
      base=${r%%:*}
      # A package of the list itself goes when something it needs does:
      # that one is named below.
      [[ " ${list[*]} " == *" $base "* || " ${list[*]} " == *" $base:"* ]] && continue
      say "apt would remove $r; naming ${base}:amd64 and ${base}:i386"
      add "${base}:amd64"
      add "${base}:i386"
    done
  done
  say "retrying with every architecture held to $suite: ${list[*]}"
  pm apt-get install -y -q -t "$suite" --no-install-recommends "${list[@]}"
  missing
fi
if [ ${#need[@]} -gt 0 ]; then
  say "still missing after the install: ${need[*]}"
  exit 1
fi
say "every tool is in place"

#!/usr/bin/env bash
# install-deps.sh's decisions against a stand-in package manager: a machine
# that has every tool but Wine, and a mirror that misbehaves in one way.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
script=$top/scripts/install-deps.sh
fake=$top/tests/doubles/fake_apt/apt.sh

# case | update | install | exit code | lines the output must hold (;) | lines of the call log (;)
cases=(
  "healthy mirror|ok|ok|0|every tool is in place|apt-get update -q;apt-get install -y -q --no-install-recommends wine64 wine32:i386"
  "update fails partly|partial|ok|0|Mirror sync in progress;apt-get update failed (exit 100, try 2 of 3);apt-get update failed partly; going on with the package lists it has;every tool is in place|apt-get update -q;apt-get update -q;apt-get update -q;apt-get install -y -q --no-install-recommends wine64 wine32:i386"
  "no lists at all|none|ok|1|apt-get update failed and there are no usable package lists|"
  "install fails once|ok|fail-once|0|apt-get install failed (exit 100);retrying with every architecture held to bookworm: wine64 wine32:i386;every tool is in place|apt-get install -y -q -t bookworm --no-install-recommends wine64 wine32:i386"
  "install removes wine64|ok|drops-wine64|0|apt-get install succeeded but wine64 still missing;apt would remove libgst:amd64; naming libgst:amd64 and libgst:i386;every tool is in place|apt-get install -y -q -t bookworm --no-install-recommends wine64 wine32:i386 libgst:amd64 libgst:i386"
  "install never works|partial|fail|1|still missing after the install: wine64 wine32:i386|"
)

# A machine with every tool but Wine's two halves.
machine() {
  local root=$1 t
  mkdir -p "$root/var/lib/dpkg" "$root/usr/bin" "$root/usr/src/googletest" \
           "$root/usr/lib/llvm-14/lib/clang/14/lib/linux" "$root/usr/include/benchmark"
  for t in cmake g++ ninja x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix \
           x86_64-w64-mingw32-widl x86_64-w64-mingw32-windmc i686-w64-mingw32-windmc flock python3 clang++ wixl; do
    touch "$root/usr/bin/$t" && chmod +x "$root/usr/bin/$t"
  done
  touch "$root/usr/src/googletest/CMakeLists.txt" "$root/usr/include/benchmark/benchmark.h" \
        "$root/usr/lib/llvm-14/lib/clang/14/lib/linux/libclang_rt.fuzzer-x86_64.a"
}

passed=0 failed=0
for row in "${cases[@]}"; do
  IFS='|' read -r name update install want_rc want_out want_calls <<<"$row"
  root=$(mktemp -d)
  machine "$root"
  out=$(TALV_ROOT=$root TALV_APT=$fake TALV_APT_PAUSE=0 FAKE_APT_LOG=$root/calls \
        FAKE_UPDATE=$update FAKE_INSTALL=$install bash "$script" 2>&1)
  rc=$?
  bad=""
  [ "$rc" = "$want_rc" ] || bad+=" exit $rc, not $want_rc;"
  IFS=';' read -ra lines <<<"$want_out"
  for l in "${lines[@]}"; do grep -qF -- "$l" <<<"$out" || bad+=" no output line '$l';"; done
  IFS=';' read -ra lines <<<"$want_calls"
  for l in "${lines[@]}"; do grep -qxF -- "$l" "$root/calls" || bad+=" no call '$l';"; done
  # The architecture is added once, before the lists are read.
  [ "$(grep -c . "$root/var/lib/dpkg/arch")" = 1 ] || bad+=" i386 not added exactly once;"
  if [ -z "$bad" ]; then
    passed=$((passed + 1)); echo "ok: $name"
  else
    failed=$((failed + 1)); echo "FAILED: $name:$bad"; sed 's/^/    | /' <<<"$out"; sed 's/^/    call: /' "$root/calls"
  fi
  rm -rf "$root"
done

# Nothing missing: no package-manager call at all.
root=$(mktemp -d)
machine "$root"
mkdir -p "$root/usr/lib/wine" && touch "$root/usr/lib/wine/wine64" "$root/usr/lib/wine/wine" && chmod +x "$root"/usr/lib/wine/*
if TALV_ROOT=$root TALV_APT=false bash "$script" >/dev/null 2>&1; then
  passed=$((passed + 1)); echo "ok: nothing to do"
else
  failed=$((failed + 1)); echo "FAILED: nothing to do: a complete machine called the package manager"
fi
rm -rf "$root"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

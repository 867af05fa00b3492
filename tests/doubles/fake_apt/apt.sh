#!/usr/bin/env bash
# Stands in for dpkg and apt-get behind install-deps.sh's TALV_APT. The
# machine is the folder TALV_ROOT; what the package manager does comes from:
#   FAKE_UPDATE   ok | partial (one index fails, the others land) | none
#   FAKE_INSTALL  ok | fail-once | drops-wine64 | fail
#     drops-wine64: installing wine32:i386 takes wine64 out (they share the
#     Multi-Arch library libgst), unless the install is held to a suite and
#     names libgst for both architectures; a simulation (-s) then lists the
#     removals as apt does ("Remv NAME [VERSION]").
# Every call is appended to FAKE_APT_LOG.
set -u
r=$TALV_ROOT
echo "$*" >>"$FAKE_APT_LOG"
tool() { mkdir -p "$r/$(dirname "$1")" && touch "$r/$1" && chmod +x "$r/$1"; }
put() {
  case $1 in
    wine64) tool usr/lib/wine/wine64 ;;
    wine32:i386) tool usr/lib/wine/wine ;;
    mingw-w64) tool usr/bin/x86_64-w64-mingw32-g++-posix; tool usr/bin/i686-w64-mingw32-g++-posix ;;
    mingw-w64-tools) tool usr/bin/x86_64-w64-mingw32-widl ;;
    binutils-mingw-w64) tool usr/bin/x86_64-w64-mingw32-windmc; tool usr/bin/i686-w64-mingw32-windmc ;;
    ninja-build) tool usr/bin/ninja ;;
    googletest) tool usr/src/googletest/CMakeLists.txt ;;
    *:*) ;;
    *) tool "usr/bin/$1" ;;
  esac
}

case "$1 $2" in
  "dpkg --print-foreign-architectures") cat "$r/var/lib/dpkg/arch" 2>/dev/null; exit 0 ;;
  "dpkg --add-architecture") echo "$3" >>"$r/var/lib/dpkg/arch"; exit 0 ;;
  "apt-get update")
    case $FAKE_UPDATE in
      ok) tool var/lib/apt/lists/main_binary-amd64_Packages; exit 0 ;;
      partial)
        tool var/lib/apt/lists/main_binary-amd64_Packages
        echo "Err:4 http://mirror security/main i386 Packages"
        echo "E: Failed to fetch http://mirror/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100 ;;
      none) echo "E: Failed to fetch http://mirror/InRelease  Temporary failure resolving 'mirror'"; exit 100 ;;
    esac ;;
  "apt-get install") ;;
  *) echo "fake apt: unexpected call: $*" >&2; exit 2 ;;
esac

shift 2
simulate=0 suite="" pkgs=()
while [ $# -gt 0 ]; do
  case $1 in
    -s) simulate=1 ;;
    -t) suite=$2; shift ;;
    -*) ;;
    *) pkgs+=("$1") ;;
  esac
  shift
done
named() { [[ " ${pkgs[*]} " == *" $1 "* ]]; }
both_gst() { [ -n "$suite" ] && named libgst:amd64 && named libgst:i386; }

if [ "$simulate" = 1 ]; then
  if [ "$FAKE_INSTALL" = drops-wine64 ] && named wine32:i386 && ! both_gst; then
    echo "Remv wine64 [8.0~repack-4]"
    echo "Remv libgst:amd64 [1.22.0-3+deb12u4]"
  fi
  exit 0
fi
case $FAKE_INSTALL in
  fail) exit 100 ;;
  fail-once)
    if [ ! -e "$r/failed-once" ]; then touch "$r/failed-once"; exit 100; fi ;;
esac
for p in "${pkgs[@]}"; do put "$p"; done
if [ "$FAKE_INSTALL" = drops-wine64 ] && named wine32:i386 && ! both_gst; then
  rm -f "$r/usr/lib/wine/wine64"
fi
exit 0

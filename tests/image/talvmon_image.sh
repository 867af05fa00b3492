#!/usr/bin/env bash
# What ships: talvmon.exe's image header and imports.
#   talvmon_image.sh OBJDUMP EXE x86|x64
# The image is PE32 for x86 and PE32+ for x64, a GUI program for Windows
# Server 2003 and later (subsystem and OS version 5.2), and it imports from
# Windows' own DLLs only: nothing of the compiler's run time, nothing that a
# bare server would lack.
set -uo pipefail
objdump=$1 exe=$2 arch=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$exe" ] || fail "no image $exe"
header=$("$objdump" -p "$exe") || fail "objdump cannot read $exe"
field() { awk -v f="$1" '$1 == f { print $2; exit }' <<<"$header"; }

case $arch in
  x86) want_magic=010b ;;
  x64) want_magic=020b ;;
  *) fail "unknown build $arch" ;;
esac
[ "$(field Magic)" = "$want_magic" ] || fail "image magic $(field Magic), expected $want_magic ($arch)"
for f in MajorSubsystemVersion:5 MinorSubsystemVersion:2 MajorOSystemVersion:5 MinorOSystemVersion:2 \
         Subsystem:00000002; do
  [ "$(field "${f%%:*}")" = "${f#*:}" ] || fail "${f%%:*} is $(field "${f%%:*}"), expected ${f#*:}"
done

system_dlls=' advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll user32.dll '
imports=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$header")
[ -n "$imports" ] || fail "no imports found"
for dll in $imports; do
  [[ $system_dlls == *" $dll "* ]] || fail "imports $dll, which is not one of Windows' own DLLs"
done
echo "PASS: $exe: $arch, $(field Magic), subsystem $(field MajorSubsystemVersion).$(field MinorSubsystemVersion), imports" $imports

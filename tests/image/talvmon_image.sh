#!/usr/bin/env bash
# What ships: talvmon.exe's image header and imports.
#   talvmon_image.sh OBJDUMP EXE x86|x64
# The image is PE32 for an x86 machine or PE32+ for an x86-64 one, a GUI
# program for the oldest Windows of its build (x86: Windows 2000, subsystem
# and OS version 5.0; x64: Windows Server 2003 x64, 5.2), and it imports
# exactly the functions of the reviewed list beside this script
# (imports-x86.txt, imports-x64.txt), all from Windows' own DLLs: an import
# that is not on the list fails, and so does an entry no longer imported.
set -uo pipefail
objdump=$1 exe=$2 arch=$3
list=$(dirname "$0")/imports-$arch.txt
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$exe" ] || fail "no image $exe"
[ -f "$list" ] || fail "no import list $list"
header=$("$objdump" -p "$exe") || fail "objdump cannot read $exe"
field() { awk -v f="$1" '$1 == f { print $2; exit }' <<<"$header"; }

case $arch in
  x86) want_magic=010b want_format=pei-i386 want_version=0 ;;
  x64) want_magic=020b want_format=pei-x86-64 want_version=2 ;;
  *) fail "unknown build $arch" ;;
esac
format=$(awk '/file format/ { print $NF; exit }' <<<"$header")
[ "$format" = "$want_format" ] || fail "machine type $format, expected $want_format ($arch)"
[ "$(field Magic)" = "$want_magic" ] || fail "image magic $(field Magic), expected $want_magic ($arch)"
for f in MajorSubsystemVersion:5 MinorSubsystemVersion:$want_version \
         MajorOSystemVersion:5 MinorOSystemVersion:$want_version Subsystem:00000002; do
  [ "$(field "${f%%:*}")" = "${f#*:}" ] || fail "${f%%:*} is $(field "${f%%:*}"), expected ${f#*:}"
done

# "dll function" per import, the DLL in lower case; an import by ordinal
# only is "#ordinal".
imports=$(awk '
  /DLL Name:/ { dll = tolower($3); next }
  /^$/ { dll = "" }
  dll != "" && $1 ~ /^[0-9a-f]+$/ { print dll, (NF >= 3 ? $3 : "#" $2) }' <<<"$header" | LC_ALL=C sort -u)
[ -n "$imports" ] || fail "no imports found"
reviewed=$(grep -v '^[[:space:]]*\(#\|$\)' "$list" | LC_ALL=C sort -u)

status=0
while read -r dll fn; do
  echo "FAIL: imports $fn from $dll, which is not on the reviewed list $list" >&2; status=1
done < <(LC_ALL=C comm -23 <(echo "$imports") <(echo "$reviewed"))
while read -r dll fn; do
  echo "FAIL: $list names $fn from $dll, which is no longer imported: take the entry off" >&2; status=1
done < <(LC_ALL=C comm -13 <(echo "$imports") <(echo "$reviewed"))
[ $status = 0 ] || exit 1

system_dlls=' advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll user32.dll '
dlls=$(awk '{ print $1 }' <<<"$imports" | uniq)
for dll in $dlls; do
  [[ $system_dlls == *" $dll "* ]] || fail "imports $dll, which is not one of Windows' own DLLs"
done
echo "PASS: $exe: $arch, $format, subsystem $(field MajorSubsystemVersion).$(field MinorSubsystemVersion)," \
     "$(wc -l <<<"$imports") imports from" $dlls

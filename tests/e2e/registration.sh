#!/usr/bin/env bash
# Self-registration of talvmon.exe under Wine's real registry and service
# manager: "-Service", "-Service" again, "-RegServer" after it, "-UnregServer".
# Each registration names the executable as the event source's message file.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

LIBID='{6A1C7E51-3B94-4D0F-9E21-5C8A7D3F0B16}'
q() {  # q KEY [VALUE]: the data of one value (or of the default value)
  local out
  if [ $# -eq 2 ]; then out=$(scn_reg query "$1" /v "$2" 2>/dev/null); else out=$(scn_reg query "$1" /ve 2>/dev/null); fi
  tr -d '\r' <<<"$out" | sed -n 's/^    .*    REG_[A-Z_]*    //p' | head -n 1
}
has_key() { scn_reg query "$1" >/dev/null 2>&1; }
SOURCE_KEY="$SERVICES_KEY\\EventLog\\Application\\TALV Wardstone"
type_of() { scn_reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v v="$2" '$1 == v { print $2 }'; }
event_source() {  # event_source WHEN: the source's key names this executable
  expect "message file $1" "$(type_of "$SOURCE_KEY" EventMessageFile) $(q "$SOURCE_KEY" EventMessageFile)" "REG_EXPAND_SZ $exe"
  expect "event types $1" "$(type_of "$SOURCE_KEY" TypesSupported) $(q "$SOURCE_KEY" TypesSupported)" "REG_DWORD 0x7"
}
expect() {  # expect WHAT GOT WANT
  [ "$2" = "$3" ] || e2e_fail "$1: '$2' (expected '$3')"
}
state() {  # everything of ours, for comparing two registrations
  for k in "$APPID_KEY" 'HKCR\AppID\TALVMON.EXE' "HKCR\\TypeLib\\$LIBID" "$SERVICES_KEY\\TALVMON" "$SOURCE_KEY"; do
    echo "== $k"
    scn_reg query "$k" /s 2>/dev/null | tr -d '\r' | grep -v '^$' | sort
  done
}

scn_begin "$build" || exit 1
scn_install_service QORDAS || exit 1
TALV_DIR=$SCN_PREFIX/drive_c/TALV
mkdir -p "$TALV_DIR" && cp "$build/bin/talvmon.exe" "$TALV_DIR/"
exe='C:\TALV\talvmon.exe'

scn_wine "$exe" -Service
expect "exit code of -Service" $? 0
expect "identity default value" "$(q "$APPID_KEY")" TALVMON
expect "LocalService" "$(q "$APPID_KEY" LocalService)" TALVMON
expect "ServiceParameters" "$(q "$APPID_KEY" ServiceParameters)" -Service
expect "TALVMON.EXE AppID" "$(q 'HKCR\AppID\TALVMON.EXE' AppID)" '{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}'
expect "service start type" "$(q "$SERVICES_KEY\\TALVMON" Start)" 0x3
expect "service image path" "$(q "$SERVICES_KEY\\TALVMON" ImagePath)" "\"$exe\""
expect "service dependency" "$(q "$SERVICES_KEY\\TALVMON" DependOnService)" QORDAS
expect "service display name" "$(q "$SERVICES_KEY\\TALVMON" DisplayName)" 'TALV Wardstone'
expect "service account" "$(q "$SERVICES_KEY\\TALVMON" ObjectName)" LocalSystem
expect "type library help string" "$(q "HKCR\\TypeLib\\$LIBID\\1.0")" 'TALVMON 1.0 Type Library'
# The system kind's subkey follows the build: win32 for the x86 executable.
syskind=win64
[ "${TALV_ARCH:-x64}" = x86 ] && syskind=win32
expect "type library path" "$(q "HKCR\\TypeLib\\$LIBID\\1.0\\409\\$syskind")" "$exe"
expect "type library help directory" "$(q "HKCR\\TypeLib\\$LIBID\\1.0\\HELPDIR")" 'C:\TALV\'
event_source "after -Service"
first=$(state)

scn_wine "$exe" /service
expect "exit code of a second -Service" $? 0
[ "$(state)" = "$first" ] || { diff <(state) <(echo "$first") >&2; e2e_fail "registering twice changed the state"; }

scn_wine "$exe" -RegServer
expect "exit code of -RegServer" $? 0
scn_wine sc query TALVMON >/dev/null 2>&1 && e2e_fail "the service is still installed after -RegServer"
has_key "$APPID_KEY" || e2e_fail "the identity is gone after -RegServer"
expect "LocalService after -RegServer" "$(q "$APPID_KEY" LocalService)" ''
expect "ServiceParameters after -RegServer" "$(q "$APPID_KEY" ServiceParameters)" -Service
scn_reg delete "$SOURCE_KEY" /f >/dev/null 2>&1
scn_wine "$exe" -RegServer
event_source "after -RegServer"

scn_wine "$exe" -UnregServer
expect "exit code of -UnregServer" $? 0
has_key "$APPID_KEY" && e2e_fail "the identity key is still there"
has_key 'HKCR\AppID\TALVMON.EXE' && e2e_fail "AppID\\TALVMON.EXE is still there"
has_key "HKCR\\TypeLib\\$LIBID" && e2e_fail "the type library is still registered"
has_key 'HKCR\AppID' || e2e_fail "AppID itself was removed"
has_key "$SOURCE_KEY" && e2e_fail "the event source is still registered"
scn_wine "$exe" -UnregServer
expect "exit code of -UnregServer with nothing registered" $? 0
e2e_pass "registration"

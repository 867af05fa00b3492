#!/usr/bin/env bash
# The Windows Installer package of this build, as an administrator deploys
# it: msiexec /i /qn of a lower version, settings, automatic start and the
# service running as an administrator leaves them, a major upgrade to this
# build's package (running, automatic, settings kept), the upgraded service
# guarding a simulated Exchange server, then msiexec /x /qn while it runs
# (everything of ours gone).
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

arch=${TALV_ARCH:-x64}
package=$build/package/talvmon-$arch.msi
lower=$build/package/talvmon-$arch-0.0.1.msi
LIBID='{6A1C7E51-3B94-4D0F-9E21-5C8A7D3F0B16}'
PARAMETERS="$SERVICES_KEY\\TALVMON\\Parameters"
# Per machine, under the Program Files folder of the build's kind: a 32-bit
# package on 64-bit Windows lands in "Program Files (x86)".
folder='Program Files'
syskind=win64
if [ "$arch" = x86 ]; then folder='Program Files (x86)'; syskind=win32; fi
exe="C:\\$folder\\TALV Wardstone\\talvmon.exe"

q() {  # q KEY [VALUE]: "TYPE DATA" of one value (or of the default value)
  local out
  if [ $# -eq 2 ]; then out=$(scn_reg query "$1" /v "$2" 2>/dev/null); else out=$(scn_reg query "$1" /ve 2>/dev/null); fi
  tr -d '\r' <<<"$out" | sed -n 's/^    .*    \(REG_[A-Z_]*\)    /\1 /p' | head -n 1
}
has_key() { scn_reg query "$1" >/dev/null 2>&1; }
expect() {  # expect WHAT GOT WANT
  [ "$2" = "$3" ] || e2e_fail "$1: '$2' (expected '$3')"
}
msiexec() {  # msiexec ARGS...: shows the command and its exit code
  echo "> msiexec $*"
  scn_wine msiexec "$@"
  local rc=$?
  echo "  exit code $rc"
  return $rc
}
# What "talvmon.exe -Service" leaves behind, for the installed file:
# expect_registered WHAT [START_TYPE [STATE]] (default: demand start, stopped).
expect_registered() {
  expect "$1: identity" "$(q "$APPID_KEY")" 'REG_SZ TALVMON'
  expect "$1: LocalService" "$(q "$APPID_KEY" LocalService)" 'REG_SZ TALVMON'
  expect "$1: ServiceParameters" "$(q "$APPID_KEY" ServiceParameters)" 'REG_SZ -Service'
  expect "$1: TALVMON.EXE" "$(q 'HKCR\AppID\TALVMON.EXE' AppID)" 'REG_SZ {6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}'
  # REG_EXPAND_SZ on Windows, REG_SZ under Wine: the type is the platform's.
  expect "$1: image path" "$(q "$SERVICES_KEY\\TALVMON" ImagePath | cut -d' ' -f2-)" "\"$exe\""
  expect "$1: start type" "$(q "$SERVICES_KEY\\TALVMON" Start)" "REG_DWORD ${2:-0x3}"
  expect "$1: service type" "$(q "$SERVICES_KEY\\TALVMON" Type)" 'REG_DWORD 0x10'
  expect "$1: dependency" "$(q "$SERVICES_KEY\\TALVMON" DependOnService)" 'REG_MULTI_SZ QORDAS'
  expect "$1: display name" "$(q "$SERVICES_KEY\\TALVMON" DisplayName)" 'REG_SZ TALV Wardstone'
  expect "$1: account" "$(q "$SERVICES_KEY\\TALVMON" ObjectName)" 'REG_SZ LocalSystem'
  expect "$1: type library" "$(q "HKCR\\TypeLib\\$LIBID\\1.0\\409\\$syskind")" "REG_SZ $exe"
  expect "$1: state" "$(scn_state TALVMON)" "${3:-STOPPED}"
  [ -f "$SCN_PREFIX/drive_c/$folder/TALV Wardstone/talvmon.exe" ] || e2e_fail "$1: no talvmon.exe in $folder"
}

[ -f "$package" ] && [ -f "$lower" ] || e2e_fail "no packages in $build/package"
echo "packages: $(stat -c '%n %s bytes' "$package" "$lower" | tr '\n' ';')"

scn_begin "$build" || exit 1
scn_install_service QORDAS || exit 1
scn_install_service zvdriver || exit 1
e2e_exchange_services running || exit 1
e2e_exchange_paths
e2e_pools 500000  # no pool low until the upgrade is done

msiexec /i "$(scn_winpath "$lower")" /qn || e2e_fail "installing the lower version"
expect_registered "after installing 0.0.1"
scn_set "$PARAMETERS" CheckEveryMinutes 1
scn_set "$PARAMETERS" FreePoolSpaceThresholdMB 10
before=$(scn_reg query "$PARAMETERS" | tr -d '\r' | grep REG_ | sort)
# The administrator's choices: automatic start (through ChangeServiceConfigW:
# Wine's sc.exe has no "config"), and the guard running.
scn_wine "$(scn_winpath "$build/doubles/service_config.exe")" TALVMON 2 || e2e_fail "could not set the start type"
scn_place_double "${TALV_E2E_ZVAPI:-zvapi.dll}" "$SCN_PREFIX/drive_c/$folder/TALV Wardstone" || exit 1
scn_start_service TALVMON RUNNING 60 || e2e_fail "TALVMON 0.0.1 did not start"

# A major upgrade removes the lower version inside its own transaction, with
# UPGRADINGPRODUCTCODE set, and the lower package then leaves the service
# and its settings to the new one. Wine's RemoveExistingProducts passes
# REMOVE=ALL alone (its msi trace: MsiConfigureProductExW ... L" REMOVE=ALL"),
# so the lower package would take "-UnregServer" as a removal of its own:
# the removal is taken here as Windows takes it, then this build's package
# goes on (and finds nothing left to remove).
msiexec /x "$(scn_winpath "$lower")" /qn UPGRADINGPRODUCTCODE='{6A1C7E55-3B94-4D0F-9E21-5C8A7D3F0B16}' ||
  e2e_fail "removing the lower version for the upgrade"
expect "start type during the upgrade" "$(q "$SERVICES_KEY\\TALVMON" Start)" 'REG_DWORD 0x2'
expect "state during the upgrade" "$(scn_state TALVMON)" RUNNING
during=$(scn_reg query "$PARAMETERS" 2>/dev/null | tr -d '\r' | grep REG_ | sort)
[ "$during" = "$before" ] || e2e_fail "settings during the upgrade: '$during' (expected '$before')"
start=$SECONDS
msiexec /i "$(scn_winpath "$package")" /qn || e2e_fail "upgrading to this build's package"
echo "  the upgrade took $((SECONDS - start)) s"
# The program stopped the running 0.0.1, changed it in place and started it again.
expect_registered "after the upgrade" 0x2 RUNNING
[ "$(scn_events | grep -c 'Service stopped')" -eq 1 ] || e2e_fail "the old service was not stopped once"
scn_until 30 "a second \"Service started\"" \
  bash -c "[ \$(grep -c 'Service started' '$SCN_LOG') -ge 2 ]" || e2e_fail "the upgraded service did not start"
after=$(scn_reg query "$PARAMETERS" 2>/dev/null | tr -d '\r' | grep REG_ | sort)
[ "$after" = "$before" ] || e2e_fail "settings after the upgrade: '$after' (expected '$before')"
echo "settings kept:"
echo "$after"
# The lower version is gone from the installed products: one entry is left.
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
[ "$arch" = x86 ] && uninstall='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
products=$(scn_reg query "$uninstall" /s 2>/dev/null |
  tr -d '\r' | grep -c 'DisplayName    REG_SZ    TALV Wardstone')
expect "installed products named TALV Wardstone" "$products" 1
# The installed product carries the version of the build, the one its file carries.
version=$(sed -n 's/^#define TALV_VERSION_TEXT "\(.*\)"$/\1/p' "$build/resources/talv_version.h")
shown=$(scn_reg query "$uninstall" /s 2>/dev/null | tr -d '\r' | awk '/^HKEY/ { key = $0 }
  $1 == "DisplayName" && $3 == "TALV" { ours[key] = 1 } $1 == "DisplayVersion" { v[key] = $3 }
  END { for (k in ours) print v[k] }')
expect "installed product version" "$shown" "${version:-no version header}"

# The upgraded service guards the server, with the storage library beside it.
echo "> sc query TALVMON"
scn_wine sc query TALVMON | tr -d '\r' | grep -E 'SERVICE_NAME|STATE'
e2e_pools 5
scn_wait_event 'has completed the shutdown' 150 || e2e_fail "no message 105"
expected=$(mktemp)
{ printf 'information Service started\ninformation Service stopped\n'; e2e_shutdown_events; } >"$expected"
e2e_expect_events "$expected"
scn_events
order=$(e2e_stop_order | tr '\n' ' ')
expect "stop order" "$order" "${EXCHANGE_SERVICES[*]} "

# Removal while the service runs: stopped, unregistered, file and folder gone.
rm -f "$SCN_PREFIX/drive_c/$folder/TALV Wardstone/zvapi.dll"
msiexec /x "$(scn_winpath "$package")" /qn || e2e_fail "removing the package"
scn_wait_event 'Service stopped' 30 || e2e_fail "no \"Service stopped\" at removal"
echo "> sc query TALVMON"
scn_wine sc query TALVMON >/dev/null 2>&1
rc=$?
echo "  exit code $rc"
[ "$rc" = 0 ] && e2e_fail "the service TALVMON is still installed"
for key in "$SERVICES_KEY\\TALVMON" "$APPID_KEY" 'HKCR\AppID\TALVMON.EXE' "HKCR\\TypeLib\\$LIBID"; do
  has_key "$key" && e2e_fail "$key is still there"
done
has_key 'HKCR\AppID' || e2e_fail "AppID itself was removed"
[ -e "$SCN_PREFIX/drive_c/$folder/TALV Wardstone" ] && e2e_fail "the folder TALV Wardstone is still there"
e2e_pass "package: install, upgrade with settings kept, guard, removal"

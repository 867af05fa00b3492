#!/usr/bin/env bash
# A TALVMON that does not stop (stop-pending for ever, its check point never
# rising), as an installation meets it on a server: "-Service" and the
# package, each run in a window station nobody sees (as the Installer's
# custom actions run as LocalSystem), show no message box, end within a
# bound and fail, and leave the old service, its configuration and its
# settings as they were.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

arch=${TALV_ARCH:-x64}
package=$build/package/talvmon-$arch.msi
PARAMS="$SERVICES_KEY\\TALVMON\\Parameters"
snapshot() {  # the service's entry (but its state) and its settings
  scn_reg query "$SERVICES_KEY\\TALVMON" /s 2>/dev/null | tr -d '\r' | grep REG_ | sort
}
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
[ "$arch" = x86 ] && uninstall='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
products() { scn_reg query "$uninstall" /s 2>/dev/null | tr -d '\r' | grep -c 'DisplayName    REG_SZ    TALV Wardstone'; }

scn_begin "$build" || exit 1
scn_install_service QORDAS || exit 1
scn_install_service TALVMON StopDelayMs=600000 WaitHint=3000 || exit 1
scn_set "$PARAMS" FreePoolSpaceThresholdMB 12
scn_set "$PARAMS" Note 'kept as it was' REG_EXPAND_SZ
scn_start_service TALVMON RUNNING 60 || e2e_fail "the stand-in TALVMON did not start"
before=$(snapshot)
grep -q fake_service.exe <<<"$before" || e2e_fail "no stand-in image path: $before"

mkdir -p "$SCN_PREFIX/drive_c/TALV"
cp "$build/bin/talvmon.exe" "$SCN_PREFIX/drive_c/TALV/" || exit 1
start=$SECONDS
out=$(timeout 120 env WINEPREFIX="$SCN_PREFIX" WINEDEBUG=-all,+eventlog WINEDLLOVERRIDES="$SCN_DLLOVERRIDES" \
  "$SCN_WINE" "$(scn_winpath "$build/doubles/hidden_station.exe")" 'C:\TALV\talvmon.exe' -Service 2>&1)
rc=$?
echo "-Service in a hidden window station: exit $rc (low byte) after $((SECONDS - start)) s"
[ "$rc" -eq 124 ] && e2e_fail "-Service did not end within 120 s"
[ "$rc" -ne 0 ] || e2e_fail "-Service over a TALVMON that does not stop exited 0"
grep -q '^Service could not be stopped' <<<"$out" || e2e_fail "no message on standard error: $out"
grep -q 'err:eventlog:ReportEventW L"Service could not be stopped"' <<<"$out" ||
  e2e_fail "no error event: $out"
[ "$(snapshot)" = "$before" ] || e2e_fail "the old service changed: $(diff <(echo "$before") <(snapshot))"

start=$SECONDS
echo "> msiexec /i $(basename "$package") /qn, in a hidden window station"
timeout 300 env WINEPREFIX="$SCN_PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="$SCN_DLLOVERRIDES" \
  "$SCN_WINE" "$(scn_winpath "$build/doubles/hidden_station.exe")" msiexec /i "$(scn_winpath "$package")" /qn
rc=$?
took=$((SECONDS - start))
echo "  exit code $rc (1603 & 255 = 67) after $took s"
[ "$rc" -eq 124 ] && e2e_fail "msiexec did not end within 300 s"
[ "$rc" -eq 67 ] || e2e_fail "msiexec: exit $rc, expected 1603 (67)"
[ "$(snapshot)" = "$before" ] || e2e_fail "the old service changed: $(diff <(echo "$before") <(snapshot))"
scn_wine sc query TALVMON >/dev/null 2>&1 || e2e_fail "the old service is gone"
[ "$(products)" -eq 0 ] || e2e_fail "the failed package is still listed as installed"
folder='Program Files'
[ "$arch" = x86 ] && folder='Program Files (x86)'
[ -e "$SCN_PREFIX/drive_c/$folder/TALV Wardstone/talvmon.exe" ] && e2e_fail "talvmon.exe left behind"
has_key() { scn_reg query "$1" >/dev/null 2>&1; }
has_key "$APPID_KEY" && e2e_fail "the identity was left behind"
echo "left installed:"
snapshot
e2e_pass "installing over a TALVMON that does not stop: no box, failed in ${took} s, old service kept"

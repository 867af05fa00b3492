#!/usr/bin/env bash
# The monitor alone (monitor_host.exe hosts it as the service's run thread
# would) on a stand-alone Exchange server whose services do not all stop
# cleanly: one pool low behind two of three drives. After the first tick:
# a warning per low drive, the shutdown's start, one failure for a service
# that refuses the stop and one for a service that times out, the shutdown's
# end; the stop requests in the fixed order, a paused service stopped too,
# and a service reporting a wait hint of 0 given time to stop.
#
#   bash tests/e2e/hosted_monitor_shutdown.sh BUILD_DIR
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
# Stand-alone: no cluster library at all.
SCN_DLLOVERRIDES='clusapi=;mscoree=;mshtml=;winemenubuilder.exe='
# shellcheck source=../../scripts/scenario.sh
source "$root/scripts/scenario.sh"

SERVICES=(MSExchangeFB MSExchangeIMC MSExchangeINS MSExchangeMSMI MSExchangeKMS MSExchangeDX
  MSExchangeCCMC MSExchangeWEB MSExchangeES MSExchangeIS MSExchangePCMTA MSExchangeMTA
  MSExchangeDS MSExchangeSA)
# The monitor pauses between polls for the wait hint, held within 1 s and
# 60 s.
declare -A BEHAVIOUR=(
  [MSExchangeIMC]='StopDelayMs=2000 WaitHint=500'    # slow, but stopped within a few polls
  [MSExchangeKMS]='StopDelayMs=6000 WaitHint=0'      # hint 0: still a second a poll, stopped in time
  [MSExchangeDX]='AcceptStop=0 WaitHint=100'         # the stop request itself fails: 1052
  [MSExchangeWEB]='StopDelayMs=30000 WaitHint=100'   # 20 polls, 19 s: 1053, then it stops anyway
  [MSExchangeES]='State=paused WaitHint=100'         # paused: stopped like a running one
)
BEHAVIOUR_KEY='HKLM\Software\TalvTestDoubles\Services'
SERVICES_KEY='HKLM\System\CurrentControlSet\Services'
ZVAPI_KEY='HKLM\Software\TalvTestDoubles\zvapi'

fail() {
  echo "FAIL: hosted monitor shutdown: $*"
  echo "--- events so far:"
  scn_events || true
  echo "--- log:"
  grep -v ':eventlog:' "$SCN_LOG" | tail -n 20 || true
  exit 1
}

# stop_time NAME: the FILETIME of the service's stop request as a decimal
# number, or nothing when none reached it. Wine's reg query cannot print a
# REG_QWORD, so it is read from an export.
stop_time() {
  local file=$SCN_PREFIX/drive_c/stop_$1.reg
  rm -f "$file"
  scn_reg export "$BEHAVIOUR_KEY\\$1" "C:\\stop_$1.reg" /y >/dev/null 2>&1 || return 0
  iconv -f UTF-16LE -t UTF-8 "$file" 2>/dev/null | tr -d '\r' |
    perl -ne 'if (/^"StopRequestedAt"=hex\(b\):([0-9a-f,]+)$/) {
      my @b = reverse split /,/, $1; print Math::BigInt->from_hex(join "", @b), "\n" }' -MMath::BigInt
}

started=$SECONDS
scn_begin "$build" || fail "no prefix"

# The storage software's driver service: present, not started.
scn_install_service zvdriver || fail "zvdriver not installed"
for name in "${SERVICES[@]}"; do
  # shellcheck disable=SC2086
  scn_install_service "$name" ${BEHAVIOUR[$name]:-WaitHint=100} || fail "$name not installed"
done
for name in "${SERVICES[@]}"; do
  want=RUNNING
  [[ ${BEHAVIOUR[$name]:-} == *State=paused* ]] && want=PAUSED
  scn_start_service "$name" "$want" || fail "$name did not become $want"
done

# Four Exchange locations on three drives, E: twice and F: (pool PoolLow,
# 5 MB free) and G: (pool PoolHigh, about 500 GB free); free space is factor
# A x factor B 512-byte units. The threshold is left to its fallback of 10 MB.
scn_set "$SERVICES_KEY\\MSExchangeIS\\ParametersPrivate" 'DB Path' 'E:\exchsrvr\mdbdata\priv.edb'
scn_set "$SERVICES_KEY\\MSExchangeIS\\ParametersSystem" 'DB Log Path' 'F:\exchsrvr\mdblogs'
scn_set "$SERVICES_KEY\\MSExchangeDS\\Parameters" 'DSA Working directory' 'G:\exchsrvr\dsadata'
scn_set "$SERVICES_KEY\\MSExchangeMTA\\Parameters" 'MTA Database Path' 'E:\exchsrvr\mtadata'
scn_set "$SERVICES_KEY\\TALVMON\\Parameters" CheckEveryMinutes 1
scn_set "$ZVAPI_KEY\\Pools\\PoolLow" FreeFactorA 2048
scn_set "$ZVAPI_KEY\\Pools\\PoolLow" FreeFactorB 5
scn_set "$ZVAPI_KEY\\Pools\\PoolLow\\Disks\\DiskE" DriveLetter E
scn_set "$ZVAPI_KEY\\Pools\\PoolLow\\Disks\\DiskF" DriveLetter F
scn_set "$ZVAPI_KEY\\Pools\\PoolHigh" FreeFactorA 2048
scn_set "$ZVAPI_KEY\\Pools\\PoolHigh" FreeFactorB 500000
scn_set "$ZVAPI_KEY\\Pools\\PoolHigh\\Disks\\DiskG" DriveLetter G

# The host and the storage library side by side, as talvmon.exe and its
# library are installed.
dir=$SCN_PREFIX/drive_c/monitor
mkdir -p "$dir"
cp "$build/bin/monitor_host.exe" "$dir/" || fail "no $build/bin/monitor_host.exe"
scn_place_double zvapi.dll "$dir" || fail "no zvapi.dll"

scn_wine_bg 'C:\monitor\monitor_host.exe'
host_pid=$SCN_BG_PID
scn_until 30 "monitor_host to create the monitor" grep -q '^monitor_host:' "$SCN_LOG" || fail "no monitor"
ready=$(grep '^monitor_host:' "$SCN_LOG" | head -n 1 | tr -d '\r')
[ "$ready" = "monitor_host: window 0, timer 1, every 60 s, threshold 10 MB, 4 locations" ] ||
  fail "unexpected start: $ready"
# One tick after a minute; the shutdown waits about 20 s for WEB and some
# seconds for the others.
scn_wait_event 'has completed the shutdown' 180 || fail "no message 105"
# DX keeps Exchange "running": the next tick would shut down again.
kill "$host_pid" 2>/dev/null
wait "$host_pid" 2>/dev/null

expected="warning TALV pool 'PoolLow' has reached Microsoft Exchange Server shutdown threshold for partition E: of < 10 MB free in the pool.
warning TALV pool 'PoolLow' has reached Microsoft Exchange Server shutdown threshold for partition F: of < 10 MB free in the pool.
information TALV Wardstone is watching every Exchange drive: E: pool 'PoolLow', 5 MB free; F: pool 'PoolLow', 5 MB free; G: pool 'PoolHigh', 500000 MB free. Threshold 10 MB, checked every 60 seconds.
error TALV Wardstone will now stop Microsoft Exchange Server.
error Error (41c) stopping service 'MSExchangeDX'.
error Error (41d) stopping service 'MSExchangeWEB'.
information TALV Wardstone has completed the shutdown of Microsoft Exchange."
got=$(scn_events)
if [ "$got" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$got") | sed 's/^/  /'
  fail "the event lines differ (< expected, > got)"
fi

# Every service that was asked, in the order of its request; DX refused the
# request in the service manager (so it never reached it).
order=$(for name in "${SERVICES[@]}"; do
  t=$(stop_time "$name")
  [ -n "$t" ] && echo "$t $name"
done | sort -n | awk '{ printf "%s ", $2 }')
want=
for name in "${SERVICES[@]}"; do
  [ "$name" = MSExchangeDX ] || want+="$name "
done
[ "$order" = "$want" ] || fail "stop requests: $order(expected $want)"
for name in "${SERVICES[@]}"; do
  count=$(scn_reg query "$BEHAVIOUR_KEY\\$name" /v StopRequestCount 2>/dev/null | tr -d '\r' |
    awk '/StopRequestCount/ { print $NF }')
  case $name in
    MSExchangeDX) [ -z "$count" ] || fail "$name was asked to stop" ;;
    *) [ "$((count))" = 1 ] || fail "$name was asked to stop ${count:-0} times" ;;
  esac
done

# WEB stops by itself after its delay; all but DX end stopped.
scn_wait_state MSExchangeWEB STOPPED 40 || fail "MSExchangeWEB never stopped"
for name in "${SERVICES[@]}"; do
  state=$(scn_state "$name")
  case $name in
    MSExchangeDX) [ "$state" = RUNNING ] || fail "MSExchangeDX is $state" ;;
    *) [ "$state" = STOPPED ] || fail "$name is $state" ;;
  esac
done
[ "$(scn_state zvdriver)" = STOPPED ] || fail "zvdriver was touched"

echo "PASS: hosted monitor shutdown ($((SECONDS - started)) s)"

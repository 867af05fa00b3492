#!/usr/bin/env bash
# The watch report of the TALVMON service: on the first check it says what
# it watches (106), beside the unchanged warnings and shutdown of a low
# pool; when the storage driver service goes away it says once that it is
# blind (107), and once it is back it says so again (106). "-Check", run
# beside the running service, prints the same view with a check's exit code
# for each of the four outcomes and writes no event.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

scn_begin "$build" || exit 1
scn_install_service zvdriver || exit 1
e2e_exchange_services running || exit 1
e2e_exchange_paths
e2e_pools 5
e2e_install_talvmon "$build" service || exit 1

watching="information TALV Wardstone is watching every Exchange drive: E: pool 'PoolLow', 5 MB free; F: pool 'PoolLow', 5 MB free; G: pool 'PoolHigh', 500000 MB free. Threshold 10 MB, checked every 60 seconds."
blind="warning TALV Wardstone cannot watch every Exchange drive: E: TALV storage software not found; F: TALV storage software not found; G: TALV storage software not found. Threshold 10 MB, checked every 60 seconds."
count() { scn_events | grep -cxF -- "$1"; }
has_count() { [ "$(count "$1")" -ge "$2" ]; }

scn_start_service TALVMON RUNNING 60 || e2e_fail "TALVMON did not start"
scn_wait_event 'has completed the shutdown' 150 || e2e_fail "no message 105"
scn_wine sc delete zvdriver >/dev/null || e2e_fail "sc delete zvdriver failed"
scn_until 150 "message 107" has_count "$blind" 1 || e2e_fail "no message 107"
scn_install_service zvdriver || e2e_fail "zvdriver not installed again"
scn_until 150 "message 106 again" has_count "$watching" 2 || e2e_fail "no second message 106"

expected=$(mktemp)
{ e2e_shutdown_events; echo "$blind"; echo "$watching"; } >"$expected"
e2e_expect_events "$expected"

# check WANT_CODE FIRST_LINE SWITCH: runs "talvmon.exe SWITCH" through cmd,
# which hands the line on as it stands (a trailing blank included, where
# Wine would quote an argument that has one), shows what it printed, and
# fails unless it exits with WANT_CODE after FIRST_LINE. The output,
# carriage returns dropped, stays in $out.
out=$SCN_PREFIX.check
check() {
  local want=$1 first=$2 switch=$3 code
  # A line not taken for the check would run the live monitor: held to two minutes.
  SCN_TIMEOUT=120 scn_wine cmd /c "C:\TALV\talvmon.exe $switch" </dev/null 2>/dev/null |
    tr -d '\r' >"$out"
  code=${PIPESTATUS[0]}
  echo "--- talvmon.exe $switch (exit $code):"
  cat "$out"
  [ "$code" -eq "$want" ] || e2e_fail "talvmon.exe $switch: exit $code, expected $want"
  [ "$(head -n 1 "$out")" = "$first" ] || e2e_fail "talvmon.exe $switch: first line $(head -n 1 "$out")"
}
critical="TALVMON CRITICAL - pool below 10 MB for E: and F:"

# Beside the running service: Exchange is stopped now, the pool still low.
# An agent's command line may end in a blank.
check 2 "$critical" -Check
check 2 "$critical" '/check '
[ "$(cat "$out")" = "$critical
E: pool 'PoolLow', 5 MB free
F: pool 'PoolLow', 5 MB free
G: pool 'PoolHigh', 500000 MB free
Threshold 10 MB, checked every 60 seconds.
would do nothing: Exchange is not running" ] || e2e_fail "-Check printed something else"
e2e_expect_events "$expected"

# The other outcomes, with the service stopped so that its own checks
# cannot act on what changes here.
scn_wine sc stop TALVMON >/dev/null || e2e_fail "sc stop TALVMON failed"
scn_wait_state TALVMON STOPPED 30 || e2e_fail "TALVMON did not stop"
scn_wait_event 'Service stopped' 30 || e2e_fail "no \"Service stopped\""
echo "information Service stopped" >>"$expected"
for name in MSExchangeIS MSExchangeSA; do
  scn_start_service "$name" RUNNING || e2e_fail "$name did not start"
done
check 2 "$critical" -Check
[ "$(tail -n 1 "$out")" = "would warn for E: and F:, then stop Exchange service by service, System Attendant last" ] ||
  e2e_fail "-Check would do: $(tail -n 1 "$out")"
scn_set "$ZVAPI_KEY\\Pools\\PoolLow" FreeFactorB 812
check 0 "TALVMON OK - every Exchange drive is watched, no pool below 10 MB" -Check
scn_wine sc delete zvdriver >/dev/null || e2e_fail "sc delete zvdriver failed"
check 1 "TALVMON WARNING - 3 of 3 Exchange drives cannot be watched" -Check
for key in MSExchangeIS\\ParametersPrivate MSExchangeIS\\ParametersPublic MSExchangeIS\\ParametersSystem \
  MSExchangeDS\\Parameters; do
  scn_wine reg delete "$SERVICES_KEY\\$key" /f >/dev/null || e2e_fail "reg delete $key failed"
done
check 3 "TALVMON UNKNOWN - nothing to check: no Exchange location found" -Check
# As the guide shows it: "start /wait" gives the program no standard output,
# so it writes to the console of the prompt that started it (a terminal here).
# Not through scn_wine: the call needs a terminal of its own (script), which
# scn_wine's redirections would take away.
console=$(WINEPREFIX=$SCN_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES=$SCN_DLLOVERRIDES timeout 120 \
  script -qc "$SCN_WINE cmd /c 'start /wait C:\\TALV\\talvmon.exe -Check & echo errorlevel %ERRORLEVEL%'" /dev/null |
  tr -d '\r')
echo "--- start /wait talvmon.exe -Check, on a console:"
echo "$console"
grep -q "TALVMON UNKNOWN - nothing to check: no Exchange location found" <<<"$console" ||
  e2e_fail "start /wait talvmon.exe -Check printed nothing on the console"
grep -q "errorlevel 3" <<<"$console" || e2e_fail "start /wait talvmon.exe -Check: no errorlevel 3"

# No check wrote an event or stopped a service.
e2e_expect_events "$expected"
for name in MSExchangeIS MSExchangeSA; do
  [ "$(scn_state "$name")" = RUNNING ] || e2e_fail "$name is $(scn_state "$name")"
done
e2e_pass "watch report: 106, 107 once, 106 again; -Check answers 2 beside the service, then 0, 1 and 3"

#!/usr/bin/env bash
# Without "LocalService" talvmon.exe runs as a plain process: "Service
# started" and every later message go to standard output, and the same
# monitor shuts Exchange down.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

scn_begin "$build" || exit 1
scn_install_service zvdriver || exit 1
e2e_exchange_services running || exit 1
e2e_exchange_paths
e2e_pools 5
e2e_install_talvmon "$build" plain || exit 1

out=$SCN_PREFIX.out
WINEPREFIX=$SCN_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES=$SCN_DLLOVERRIDES \
  /usr/lib/wine/wine64 'C:\TALV\talvmon.exe' </dev/null >"$out" 2>/dev/null &
pid=$!
scn_until 30 "\"Service started\" on standard output" grep -q 'Service started' "$out" ||
  e2e_fail "no output"
scn_until 150 "message 105 on standard output" grep -q 'has completed the shutdown' "$out" ||
  { cat "$out" >&2; e2e_fail "no message 105"; }
kill "$pid" 2>/dev/null
expected="Service started
TALV pool 'PoolLow' has reached Microsoft Exchange Server shutdown threshold for partition E: of < 10 MB free in the pool.
TALV pool 'PoolLow' has reached Microsoft Exchange Server shutdown threshold for partition F: of < 10 MB free in the pool.
TALV Wardstone is watching every Exchange drive: E: pool 'PoolLow', 5 MB free; F: pool 'PoolLow', 5 MB free; G: pool 'PoolHigh', 500000 MB free. Threshold 10 MB, checked every 60 seconds.
TALV Wardstone will now stop Microsoft Exchange Server.
TALV Wardstone has completed the shutdown of Microsoft Exchange."
got=$(tr -d '\r' <"$out")
[ "$got" = "$expected" ] || { diff <(echo "$got") <(echo "$expected") >&2; e2e_fail "output differs"; }
[ -z "$(scn_events)" ] || e2e_fail "a plain process wrote to the event log"
order=$(e2e_stop_order | tr '\n' ' ')
[ "$order" = "${EXCHANGE_SERVICES[*]} " ] || e2e_fail "stop order: $order"
e2e_pass "plain process"

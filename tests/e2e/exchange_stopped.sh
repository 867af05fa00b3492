#!/usr/bin/env bash
# Exchange is already stopped: a low pool gives no message at all, tick
# after tick.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

scn_begin "$build" || exit 1
scn_install_service zvdriver || exit 1
e2e_exchange_services stopped || exit 1
e2e_exchange_paths
e2e_pools 5
e2e_install_talvmon "$build" service || exit 1
scn_start_service TALVMON RUNNING 60 || e2e_fail "TALVMON did not start"
scn_wait_event 'Service started' 30 || e2e_fail "no \"Service started\""
# Two ticks: the storage library is asked on each, and nothing is written
# but the watch report of the first.
sleep 125
[ "$(e2e_zv_calls)" -gt 0 ] || e2e_fail "the pools were never looked up"
[ "$(scn_events)" = "information Service started
information TALV Wardstone is watching every Exchange drive: E: pool 'PoolLow', 5 MB free; F: pool 'PoolLow', 5 MB free; G: pool 'PoolHigh', 500000 MB free. Threshold 10 MB, checked every 60 seconds." ] || e2e_fail "messages were written"
scn_wine sc stop TALVMON >/dev/null
scn_wait_state TALVMON STOPPED 30 || e2e_fail "TALVMON did not stop"
e2e_pass "no message while Exchange is stopped"

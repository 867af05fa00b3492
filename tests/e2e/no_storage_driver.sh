#!/usr/bin/env bash
# Without the storage driver service "zvdriver" nothing happens: the storage
# library is never called, no message, no stop.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

scn_begin "$build" || exit 1
e2e_exchange_services running || exit 1
e2e_exchange_paths
e2e_pools 5
e2e_install_talvmon "$build" service || exit 1
scn_start_service TALVMON RUNNING 60 || e2e_fail "TALVMON did not start"
scn_wait_event 'Service started' 30 || e2e_fail "no \"Service started\""
sleep 70
[ "$(scn_events)" = "information Service started
warning TALV Wardstone cannot watch every Exchange drive: E: TALV storage software not found; F: TALV storage software not found; G: TALV storage software not found. Threshold 10 MB, checked every 60 seconds." ] ||
  e2e_fail "messages were written"
[ "$(e2e_zv_calls)" -eq 0 ] || e2e_fail "the storage library was called"
[ -z "$(e2e_stop_order)" ] || e2e_fail "services were stopped"
e2e_pass "no storage driver: nothing happens"

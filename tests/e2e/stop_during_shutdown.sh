#!/usr/bin/env bash
# A stop request for TALVMON while it is shutting Exchange down takes effect
# after the shutdown: stop pending meanwhile, then 105, then stopped.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

scn_begin "$build" || exit 1
scn_install_service zvdriver || exit 1
EXCHANGE_BEHAVIOUR[MSExchangeFB]="WaitHint=1000 StopDelayMs=12000"
e2e_exchange_services running || exit 1
e2e_exchange_paths
e2e_pools 5
e2e_install_talvmon "$build" service || exit 1

scn_start_service TALVMON RUNNING 60 || e2e_fail "TALVMON did not start"
scn_wait_event 'will now stop' 150 || e2e_fail "no message 103"
scn_wine sc stop TALVMON >/dev/null || e2e_fail "sc stop TALVMON failed"
[ "$(scn_state TALVMON)" = STOP_PENDING ] || e2e_fail "TALVMON is $(scn_state TALVMON), not STOP_PENDING"
scn_events | grep -q 'has completed the shutdown' && e2e_fail "the shutdown ended before the stop request"
scn_wait_event 'has completed the shutdown' 60 || e2e_fail "no message 105"
scn_wait_state TALVMON STOPPED 30 || e2e_fail "TALVMON did not stop"
scn_wait_event 'Service stopped' 30 || e2e_fail "no \"Service stopped\""
last2=$(scn_events | tail -n 2 | tr '\n' '|')
[ "$last2" = "information TALV Wardstone has completed the shutdown of Microsoft Exchange.|information Service stopped|" ] ||
  e2e_fail "last events: $last2"
[ "$(scn_state MSExchangeSA)" = STOPPED ] || e2e_fail "the shutdown did not finish"
e2e_pass "stop during a slow shutdown"

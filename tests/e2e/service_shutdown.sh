#!/usr/bin/env bash
# talvmon.exe as the TALVMON service on a stand-alone Exchange server: one
# pool low behind two of three drives, the Information Store paused. Two
# warnings, the shutdown of the fourteen services in their order (the paused
# one too), its end; then the service stops cleanly.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

scn_begin "$build" || exit 1
scn_install_service zvdriver || exit 1
EXCHANGE_BEHAVIOUR[MSExchangeIS]="WaitHint=200 State=paused"
e2e_exchange_services running || exit 1
e2e_exchange_paths
e2e_pools 5
e2e_install_talvmon "$build" service || exit 1

scn_start_service TALVMON RUNNING 60 || e2e_fail "TALVMON did not start"
scn_wait_event 'Service started' 30 || e2e_fail "no \"Service started\""
scn_wait_event 'has completed the shutdown' 150 || e2e_fail "no message 105"

expected=$(mktemp)
e2e_shutdown_events >"$expected"
e2e_expect_events "$expected"

order=$(e2e_stop_order | tr '\n' ' ')
want="${EXCHANGE_SERVICES[*]} "
[ "$order" = "$want" ] || e2e_fail "stop order: $order (expected $want)"
for name in "${EXCHANGE_SERVICES[@]}"; do
  [ "$(scn_state "$name")" = STOPPED ] || e2e_fail "$name is $(scn_state "$name")"
done

scn_wine sc stop TALVMON >/dev/null || e2e_fail "sc stop TALVMON failed"
scn_wait_state TALVMON STOPPED 30 || e2e_fail "TALVMON did not stop"
scn_wait_event 'Service stopped' 30 || e2e_fail "no \"Service stopped\""
[ "$(scn_events | tail -n 1)" = "information Service stopped" ] || e2e_fail "\"Service stopped\" is not last"
e2e_uninstall_talvmon || e2e_fail "could not unregister"
e2e_pass "stand-alone shutdown by the service"

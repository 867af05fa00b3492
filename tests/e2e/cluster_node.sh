#!/usr/bin/env bash
# talvmon.exe on a cluster node (the fake cluster library beside it): the
# System Attendant's cluster resource is taken offline and no service is
# stopped one by one. An offline that goes on in the background (997) is no
# failure; on the next check, with no such resource on the cluster, the
# open's error is reported (104 "138f") before the end (105).
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
# The double beside the executable must be found: Wine's own cluster
# library is not disabled by name here, the double comes first in the search.
export SCN_DLLOVERRIDES='mscoree=;mshtml=;winemenubuilder.exe='
source "$(dirname "$0")/lib/exchange.sh"

scn_begin "$build" || exit 1
scn_install_service zvdriver || exit 1
e2e_exchange_services running || exit 1
e2e_exchange_paths
e2e_pools 5
e2e_install_talvmon "$build" service || exit 1
scn_place_double clusapi.dll "$TALV_DIR" || exit 1
scn_set 'HKLM\Software\TalvTestDoubles\clusapi' IsNode 1
scn_set 'HKLM\Software\TalvTestDoubles\clusapi' ResourcePresent 1
scn_set 'HKLM\Software\TalvTestDoubles\clusapi' OfflineResult 997

# Exchange keeps running, so every check shuts it down again: events are
# compared up to the end of the shutdown in question.
events_to() { scn_events | awk -v n="$1" '{ print } /has completed the shutdown/ && ++seen == n { exit }'; }
expect_events_to() {
  [ "$(events_to "$1")" = "$(cat "$expected")" ] ||
    { diff <(events_to "$1") "$expected" >&2; e2e_fail "event lines differ (< got, > expected)"; }
}

scn_start_service TALVMON RUNNING 60 || e2e_fail "TALVMON did not start"
scn_wait_event 'has completed the shutdown' 150 || e2e_fail "no message 105"
# The next check, a minute later, finds the resource gone: set before the
# slow checks below, which can take longer than that on a loaded machine.
scn_set 'HKLM\Software\TalvTestDoubles\clusapi' ResourcePresent 0
expected=$(mktemp)
e2e_shutdown_events >"$expected"
expect_events_to 1
offline=$(scn_reg query 'HKLM\Software\TalvTestDoubles\clusapi\Calls' /v OfflineCalledFor 2>/dev/null | tr -d '\r' |
  sed -n 's/.*OfflineCalledFor *REG_SZ *//p')
[ "$offline" = "Microsoft Exchange System Attendant" ] || e2e_fail "resource taken offline: '$offline'"
[ -z "$(e2e_stop_order)" ] || e2e_fail "services were stopped: $(e2e_stop_order | tr '\n' ' ')"
for name in "${EXCHANGE_SERVICES[@]}"; do
  [ "$(scn_state "$name")" = RUNNING ] || e2e_fail "$name is $(scn_state "$name")"
done

# Exchange still runs, so the next check shuts down again: now the resource
# is not there.
two_ends() { [ "$(scn_events | grep -c 'has completed the shutdown')" -ge 2 ]; }
scn_until 150 "a second message 105" two_ends || e2e_fail "no second message 105"
cat >>"$expected" <<'TXT'
warning TALV pool 'PoolLow' has reached Microsoft Exchange Server shutdown threshold for partition E: of < 10 MB free in the pool.
warning TALV pool 'PoolLow' has reached Microsoft Exchange Server shutdown threshold for partition F: of < 10 MB free in the pool.
error TALV Wardstone will now stop Microsoft Exchange Server.
error Error (138f) stopping service 'Microsoft Exchange System Attendant'.
information TALV Wardstone has completed the shutdown of Microsoft Exchange.
TXT
expect_events_to 2
[ -z "$(e2e_stop_order)" ] || e2e_fail "services were stopped: $(e2e_stop_order | tr '\n' ' ')"
e2e_pass "cluster node: resource offline (pending is done), a missing resource reported, no service stopped"

#!/usr/bin/env bash
# "-Service" run again while TALVMON runs, as a new build is put in place:
# the old service is stopped and waited for, changed in place and started
# again; the administrator's automatic start and settings (type and data)
# are kept, and the service guards with them.
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

PARAMS="$SERVICES_KEY\\TALVMON\\Parameters"
settings() { scn_reg query "$PARAMS" 2>/dev/null | tr -d '\r' | grep REG_ | sort; }

scn_begin "$build" || exit 1
scn_install_service zvdriver || exit 1
e2e_exchange_services running || exit 1
e2e_exchange_paths
e2e_pools 5
e2e_install_talvmon "$build" service || exit 1
# Settings of the administrator's own: a threshold other than the default,
# and a value of another type that the program does not read.
scn_set "$PARAMS" FreePoolSpaceThresholdMB 12
scn_set "$PARAMS" Note 'kept as it was' REG_EXPAND_SZ
before=$(settings)
[ "$(wc -l <<<"$before")" -eq 3 ] || e2e_fail "settings not written: $before"

# Automatic start, set through ChangeServiceConfigW (Wine's sc.exe has no "config").
scn_wine "$(scn_winpath "$build/doubles/service_config.exe")" TALVMON 2 || e2e_fail "could not set the start type"
scn_start_service TALVMON RUNNING 60 || e2e_fail "TALVMON did not start"
scn_wait_event 'Service started' 30 || e2e_fail "no \"Service started\""

# A failure would show a message box that no one clicks away: bounded.
SCN_TIMEOUT=120 scn_wine 'C:\TALV\talvmon.exe' -Service
rc=$?
[ "$rc" -eq 0 ] || e2e_fail "-Service over the running service: exit $rc"
scn_wine sc query TALVMON >/dev/null 2>&1 || e2e_fail "no service TALVMON after -Service"
scn_wait_state TALVMON RUNNING 30 || e2e_fail "TALVMON was not started again"
start=$(scn_reg query "$SERVICES_KEY\\TALVMON" /v Start | tr -d '\r' | awk '/Start/ { print $NF }')
[ "$start" = 0x2 ] || e2e_fail "start type $start, expected automatic (0x2)"
after=$(settings)
[ "$after" = "$before" ] || e2e_fail "settings changed: $(diff <(echo "$before") <(echo "$after"))"
[ "$(scn_events | grep -c 'Service stopped')" -eq 1 ] || e2e_fail "the old service did not stop"

scn_until 30 "a second \"Service started\"" \
  bash -c "[ \$(grep -c 'Service started' '$SCN_LOG') -ge 2 ]" || e2e_fail "no second \"Service started\""
# It guards with the kept threshold of 12 MB.
scn_wait_event 'partition E: of < 12 MB' 150 || e2e_fail "no warning with the kept threshold"
scn_wait_event 'has completed the shutdown' 150 || e2e_fail "no message 105"

scn_wine sc stop TALVMON >/dev/null || e2e_fail "sc stop TALVMON failed"
scn_wait_state TALVMON STOPPED 30 || e2e_fail "TALVMON did not stop"
e2e_uninstall_talvmon || e2e_fail "could not unregister"
e2e_pass "-Service over the running service"

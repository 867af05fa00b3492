#!/usr/bin/env bash
# A stop request for TALVMON while it is shutting Exchange down takes effect
# after the shutdown: stop pending meanwhile, reported again with a rising
# check point while the Exchange services are being stopped, then 105, then
# stopped.
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

# "STATE CHECKPOINT WAIT_HINT" of TALVMON (sc prints the numbers in hex).
progress() {
  local state cp hint
  read -r state cp hint < <(scn_wine sc query TALVMON 2>/dev/null | tr -d '\r' |
    awk '/STATE/ { s = $NF } /CHECKPOINT/ { c = $NF } /WAIT_HINT/ { w = $NF } END { print s, c, w }')
  printf '%s %d %d\n' "$state" "${cp:-0}" "${hint:-0}"
}
# Sampled about twice a second while MSExchangeFB takes its 12 s to stop.
samples=()
for _ in $(seq 1 180); do
  samples+=("$(progress)")
  [[ ${samples[-1]} == STOP_PENDING* ]] || break
  scn_events | grep -q 'has completed the shutdown' && break
  sleep 0.5
done
echo "sc query TALVMON while stopping (state, check point, wait hint in ms):"
printf '  %s\n' "${samples[@]}" | uniq -c
first=${samples[0]} last=""
for s in "${samples[@]}"; do [[ $s == STOP_PENDING* ]] && last=$s; done
read -r _ cp0 _ <<<"$first"
read -r _ cp1 hint1 <<<"$last"
[ "${cp1:-0}" -gt "${cp0:-0}" ] || e2e_fail "the check point did not rise ($first ... $last)"
[ "${hint1:-0}" -gt 0 ] || e2e_fail "no wait hint while stopping ($last)"
prev=-1
for s in "${samples[@]}"; do
  [[ $s == STOP_PENDING* ]] || continue
  read -r _ cp _ <<<"$s"
  [ "$cp" -ge "$prev" ] || e2e_fail "the check point fell: $cp after $prev"
  prev=$cp
done

scn_wait_event 'has completed the shutdown' 60 || e2e_fail "no message 105"
scn_wait_state TALVMON STOPPED 30 || e2e_fail "TALVMON did not stop"
echo "  then: $(progress)"
scn_wait_event 'Service stopped' 30 || e2e_fail "no \"Service stopped\""
last2=$(scn_events | tail -n 2 | tr '\n' '|')
[ "$last2" = "information TALV Wardstone has completed the shutdown of Microsoft Exchange.|information Service stopped|" ] ||
  e2e_fail "last events: $last2"
[ "$(scn_state MSExchangeSA)" = STOPPED ] || e2e_fail "the shutdown did not finish"
e2e_pass "stop during a slow shutdown"

#!/usr/bin/env bash
# The scenario library's Wine calls: every call recorded in the scenario's
# log; only a program that never ran is tried again; a failing scenario says
# why (the failed call's standard error and the end of its log).
set -uo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
source "$(dirname "$0")/lib/exchange.sh"

scn_begin "$build" || exit 1
calls() { grep -c "^>> $1 (try" "$SCN_LOG"; }

# Never ran: Wine finds no such program, so it is tried again.
SCN_WINE_TRIES=2 scn_wine no_such_program.exe /x >/dev/null 2>&1
rc=$?
[ "$rc" -ne 0 ] || e2e_fail "a program that does not exist succeeded"
[ "$(calls 'no_such_program.exe /x')" = 2 ] || e2e_fail "a program that never ran was not tried twice"
# Ran and failed, with no output at all (sc has no "qc"): tried once, its
# exit code passed through.
scn_wine sc qc TALVMON >/dev/null 2>&1
rc=$?
[ "$rc" = 1 ] || e2e_fail "sc qc: exit $rc"
[ "$(calls 'sc qc TALVMON')" = 1 ] || e2e_fail "sc qc, which ran, was tried again"
# Ran and failed with a message: tried once, output passed and recorded.
out=$(scn_reg query 'HKLM\Software\TalvNoSuchKey' 2>/dev/null)
rc=$?
[ "$rc" = 1 ] && [ -n "$out" ] || e2e_fail "reg query of a missing key: exit $rc, '$out'"
[ "$(calls 'reg query HKLM\\Software\\TalvNoSuchKey')" = 1 ] || e2e_fail "reg query, which ran, was tried again"
grep -qxF "| out: $(tr -d '\r' <<<"$out")" "$SCN_LOG" || e2e_fail "reg's output is not in the log"
# A recorded line is never taken for an event.
scn_wine sc start TalvNoSuchService >/dev/null 2>&1
[ -z "$(scn_events)" ] || e2e_fail "events: $(scn_events)"

# A scenario that fails on a call prints that call and the end of its log.
said=$(bash -c 'source "$1/scripts/scenario.sh"; scn_begin "$2" || exit 1
  scn_start_service TalvNoSuchService || exit 1' _ "$E2E_ROOT" "$build" 2>&1 >/dev/null)
rm -f "$(sed -n "s/^--- the scenario's log.*(kept in \(.*\)):$/\1/p" <<<"$said")"
grep -q '^scenario: sc start TalvNoSuchService failed' <<<"$said" || e2e_fail "no reason given: $said"
grep -q '^--- the last Wine call that failed:' <<<"$said" || e2e_fail "no failed call shown: $said"
grep -q '^| exit [1-9]' <<<"$said" || e2e_fail "no exit code shown: $said"
grep -q "^--- the scenario's log" <<<"$said" || e2e_fail "no log shown: $said"
e2e_pass "scenario calls: recorded, only a program that never ran tried again, failures explained"

# Helpers for Wine scenario tests: a prefix of their own with a keeper, fake
# services, registry values, doubles beside executables, and the event-log
# lines the prefix's services and programs wrote. Source it from bash:
#
#   source scripts/scenario.sh
#   scn_begin build/win64                       # fresh prefix, keeper first, teardown at exit
#   scn_install_service MSExchangeIS WaitHint=3000 State=paused
#   scn_start_service MSExchangeIS              # waits until RUNNING (or the state given)
#   scn_set 'HKLM\Software\TalvTestDoubles\clusapi' IsNode 1
#   scn_place_double clusapi_nodelete/clusapi.dll "$dir"
#   scn_wine "$(scn_winpath "$exe")" /RegServer  # any program, in the prefix
#   scn_wait_event 'Service started' 60
#   scn_events                                  # "information|warning|error TEXT", one a line
#   scn_end                                     # also run by the exit trap
#
# Every wait is bounded and fails with a message naming what did not happen.
# Environment read by scn_begin: SCN_DLLOVERRIDES (the load order handed to the
# keeper, so to every service, and to scn_wine; default: Wine's clusapi.dll
# disabled; a scenario that puts a clusapi.dll double beside an executable
# must leave clusapi out of it), TALV_WINE_TEMPLATE (as for winebed.sh).

SCN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SCN_WINEBED=$SCN_ROOT/scripts/winebed.sh
SCN_WINE=${WINE:-/usr/lib/wine/wine64}
SCN_WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver64}
[ -x "$SCN_WINESERVER" ] || SCN_WINESERVER=/usr/lib/wine/wineserver
SCN_PREFIX=
SCN_LOG=
SCN_KEEPER_PID=
SCN_DOUBLES=
SCN_BG_PID=

scn_fail() {
  echo "scenario: $*" >&2
  return 1
}

# scn_until SECONDS WHAT COMMAND...: runs COMMAND every half second until it
# succeeds; fails naming WHAT when SECONDS have passed.
scn_until() {
  local seconds=$1 what=$2
  shift 2
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || { scn_fail "timed out after ${seconds}s waiting for $what"; return 1; }
    sleep 0.5
  done
}

# scn_begin BUILD_DIR: makes a fresh prefix and starts the keeper in it, as
# its first process, with the event-log channel on and its standard error
# (inherited by every service) captured in $SCN_LOG. Installs an exit trap
# that calls scn_end.
scn_begin() {
  local build=${1:?usage: scn_begin BUILD_DIR}
  SCN_DOUBLES=$(cd "$build" && pwd)/doubles
  [ -f "$SCN_DOUBLES/keeper.exe" ] || { scn_fail "no $SCN_DOUBLES/keeper.exe: build the doubles first"; return 1; }
  SCN_DLLOVERRIDES=${SCN_DLLOVERRIDES:-clusapi=;mscoree=;mshtml=;winemenubuilder.exe=}
  SCN_PREFIX=$(mktemp -d /tmp/talv-scenario.XXXXXX)
  SCN_LOG=$SCN_PREFIX.log
  : >"$SCN_LOG"
  trap scn_end EXIT
  trap 'exit 130' INT TERM
  bash "$SCN_WINEBED" new "$SCN_PREFIX" || { scn_fail "could not make the prefix"; return 1; }
  SCN_KEEPER_PID=$(WINEDEBUG=-all,+eventlog WINEDLLOVERRIDES=$SCN_DLLOVERRIDES TALV_KEEPER_LOG=$SCN_LOG \
    bash "$SCN_WINEBED" keeper "$SCN_PREFIX" "$SCN_DOUBLES/keeper.exe") || { scn_fail "keeper not started"; return 1; }
  # Nothing else may run in the prefix before the keeper does.
  scn_until 60 "the keeper to start" grep -q '^keeper ready' "$SCN_LOG" || return 1
}

# scn_end: ends the keeper and everything else in the prefix, and removes
# the prefix and its log. Safe to call twice.
scn_end() {
  if [ -n "$SCN_KEEPER_PID" ]; then
    kill "$SCN_KEEPER_PID" 2>/dev/null || true
    SCN_KEEPER_PID=
  fi
  if [ -n "$SCN_PREFIX" ]; then
    bash "$SCN_WINEBED" destroy "$SCN_PREFIX" || true
    rm -f "$SCN_LOG"
    SCN_PREFIX=
  fi
}

# scn_winpath UNIX_PATH: the same file as a Windows path (drive Z:).
scn_winpath() {
  local p
  p=$(realpath -m "$1")
  echo "Z:${p//\//\\}"
}

# scn_wine PROGRAM ARGS...: runs a Windows program in the prefix and passes
# its output and exit code through.
scn_wine() {
  WINEPREFIX=$SCN_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES=$SCN_DLLOVERRIDES "$SCN_WINE" "$@"
}

# scn_wine_bg PROGRAM ARGS...: starts a Windows program in the background with
# its event-log lines going to $SCN_LOG, and sets SCN_BG_PID (call it
# directly, not in $(...), so that the caller can wait for it).
scn_wine_bg() {
  WINEPREFIX=$SCN_PREFIX WINEDEBUG=-all,+eventlog WINEDLLOVERRIDES=$SCN_DLLOVERRIDES \
    "$SCN_WINE" "$@" </dev/null >/dev/null 2>>"$SCN_LOG" &
  SCN_BG_PID=$!
}

# scn_reg ARGS...: reg.exe in the prefix (add, delete, query ...).
scn_reg() {
  scn_wine reg "$@"
}

# scn_set KEY VALUE DATA [TYPE]: writes one registry value; the type is
# REG_DWORD for a decimal number and REG_SZ otherwise, unless TYPE is given.
scn_set() {
  local key=$1 value=$2 data=$3 type=${4:-}
  if [ -z "$type" ]; then
    if [[ $data =~ ^[0-9]+$ ]]; then type=REG_DWORD; else type=REG_SZ; fi
  fi
  scn_reg add "$key" /v "$value" /t "$type" /d "$data" /f >/dev/null ||
    { scn_fail "reg add $key /v $value failed"; return 1; }
}

# scn_install_service NAME [VALUE=DATA ...]: installs fake_service.exe as the
# service NAME, with its behaviour values (see tests/doubles/README.md)
# under HKLM\Software\TalvTestDoubles\Services\NAME.
scn_install_service() {
  local name=${1:?usage: scn_install_service NAME [VALUE=DATA ...]}
  shift
  local exe=$SCN_DOUBLES/fake_service.exe pair
  [ -f "$exe" ] || { scn_fail "no $exe: build the doubles first"; return 1; }
  for pair in "$@"; do
    scn_set "HKLM\\Software\\TalvTestDoubles\\Services\\$name" "${pair%%=*}" "${pair#*=}" || return 1
  done
  # Wine's sc.exe now and then fails a create on a loaded machine (its
  # service manager answers late): a create that left no service is tried
  # again, a few times.
  local try out
  for try in 1 2 3; do
    out=$(scn_wine sc create "$name" binPath= "$(scn_winpath "$exe")" 2>&1) && return 0
    scn_wine sc query "$name" >/dev/null 2>&1 && return 0
    echo "scenario: sc create $name failed (try $try of 3): $(tr -d '\r' <<<"$out" | tail -n 1)" >&2
    sleep 2
  done
  scn_fail "sc create $name failed"
  return 1
}

# scn_state NAME: prints the service's state (RUNNING, STOPPED, PAUSED,
# START_PENDING, ...), or nothing when it cannot be queried.
scn_state() {
  scn_wine sc query "$1" 2>/dev/null | tr -d '\r' | awk '/STATE/ { print $NF; exit }'
}

scn__state_is() { [ "$(scn_state "$1")" = "$2" ]; }

# scn_wait_state NAME STATE [SECONDS]: waits (default 60 s) for the state.
scn_wait_state() {
  scn_until "${3:-60}" "service $1 to be $2 (last: $(scn_state "$1"))" scn__state_is "$1" "$2"
}

# scn_start_service NAME [STATE [SECONDS]]: starts the service and waits for
# it to reach STATE (default RUNNING).
# SCN_START_TRIES (default 1) starts it up to that many times: under load
# Wine's sc start of a stand-in service has failed now and then (once in a
# whole run of the test command), so the Exchange stand-ins get three tries.
# Every failed try is printed with what sc said; the system's own service
# always gets one.
scn_start_service() {
  local name=${1:?usage: scn_start_service NAME [STATE [SECONDS]]}
  local out try tries=${SCN_START_TRIES:-1}
  for ((try = 1; ; try++)); do
    out=$(scn_wine sc start "$name" 2>&1) && break
    case $(scn_state "$name") in RUNNING | START_PENDING | PAUSED) break ;; esac  # it started all the same
    out=$(tr -s '\r\n' ' ' <<<"$out")
    [ "$try" -lt "$tries" ] || { scn_fail "sc start $name failed: $out"; return 1; }
    echo "scenario: sc start $name failed (try $try of $tries): $out" >&2
    sleep 2
  done
  scn_wait_state "$name" "${2:-RUNNING}" "${3:-60}"
}

# scn_place_double DOUBLE DIR: copies a double (a path under the doubles
# folder, e.g. zvapi.dll or clusapi_nodelete/clusapi.dll) into DIR, beside
# the executable that is to load it.
scn_place_double() {
  local src=$SCN_DOUBLES/$1 dir=$2
  [ -f "$src" ] || { scn_fail "no double $src"; return 1; }
  mkdir -p "$dir" && cp "$src" "$dir/"
}

# scn_events: the event-log messages written so far, one a line, as
# "information TEXT", "warning TEXT" or "error TEXT". Wine prints each
# insertion string as a C literal, cut after about 300 characters; \" and
# \\ are undone, other escapes (\n) are left as printed.
scn_events() {
  perl -ne '
    next unless /:(trace|warn|err):eventlog:ReportEventW L"(.*)$/;
    my ($kind, $text) = ($1, $2);
    $text =~ s/"(\.\.\.)?\s*$//;
    $text =~ s/\\(["\\])/$1/g;
    my %type = (trace => "information", warn => "warning", err => "error");
    print "$type{$kind} $text\n";
  ' "$SCN_LOG"
}

# scn_wait_event REGEX [SECONDS]: waits (default 60 s) for an event line (as
# scn_events prints it) that matches the extended regular expression.
scn_wait_event() {
  scn__has_event() { scn_events | grep -Eq -- "$1"; }
  scn_until "${2:-60}" "an event matching '$1'" scn__has_event "$1"
}

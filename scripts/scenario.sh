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
# Every Wine call goes through scn_wine, which records it in $SCN_LOG; a
# scenario that fails prints the last failed call and the end of that log,
# and keeps the log.
# Environment read by scn_begin: SCN_DLLOVERRIDES (the load order handed to the
# keeper, so to every service, and to scn_wine; default: Wine's clusapi.dll
# disabled; a scenario that puts a clusapi.dll double beside an executable
# must leave clusapi out of it), TALV_WINE_TEMPLATE (as for winebed.sh),
# SCN_KEEP_LOGS (a folder: every scenario's log is copied there at its end).

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

# scn_fail MESSAGE: prints the message and the last Wine call that failed
# (its command, exit code and the end of its standard error); returns 1.
scn_fail() {
  echo "scenario: $*" >&2
  if [ -n "$SCN_PREFIX" ] && [ -s "$SCN_PREFIX.failed" ]; then
    echo "--- the last Wine call that failed:" >&2
    tail -n 15 "$SCN_PREFIX.failed" >&2
  fi
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
  echo ">> keeper.exe (background, process $SCN_KEEPER_PID)" >>"$SCN_LOG"
  # Nothing else may run in the prefix before the keeper does.
  scn_until 60 "the keeper to start" scn__keeper_ready || return 1
}

scn__keeper_ready() {
  grep -q '^keeper ready' "$SCN_LOG" && return 0
  kill -0 "$SCN_KEEPER_PID" 2>/dev/null && return 1
  grep -q '^keeper ready' "$SCN_LOG" && return 0
  scn_fail "the keeper ended before it was ready"
  exit 1
}

# scn_end: ends the keeper and everything else in the prefix, and removes
# the prefix and its log. Safe to call twice.
# A scenario that ends in failure (exit status not 0) prints the end of its
# log and keeps the log.
scn_end() {
  local status=$?
  if [ -n "$SCN_KEEPER_PID" ]; then
    kill "$SCN_KEEPER_PID" 2>/dev/null || true
    SCN_KEEPER_PID=
  fi
  if [ -n "$SCN_PREFIX" ]; then
    bash "$SCN_WINEBED" destroy "$SCN_PREFIX" || true
    if [ -n "${SCN_KEEP_LOGS:-}" ]; then
      mkdir -p "$SCN_KEEP_LOGS" && cp "$SCN_LOG" "$SCN_KEEP_LOGS/$(basename "$0" .sh).$(basename "$SCN_LOG")"
    fi
    if [ "$status" -ne 0 ]; then
      echo "--- the scenario's log, last 40 lines (kept in $SCN_LOG):" >&2
      tail -n 40 "$SCN_LOG" >&2
    else
      rm -f "$SCN_LOG"
    fi
    rm -f "$SCN_PREFIX.failed"
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
# its standard output, standard error and exit code through. Every call is
# recorded in $SCN_LOG: the command, its exit code, its standard output and
# standard error, each line marked ("| out", "| err") so that no recorded
# line is taken for an event. SCN_TIMEOUT (seconds), if set, bounds the call
# (exit code 124 when it runs out).
#
# Only a call whose program never ran is tried again (up to SCN_WINE_TRIES
# times, default 3): one that failed and whose image Wine's loader never
# mapped. The call runs with Wine's loaddll channel on, which prints
# 'Loaded L"...\\PROGRAM.exe"' when the program's image is mapped, before any
# of its code runs; without that line the program did nothing, so running it
# again changes nothing it did. Exit codes alone prove nothing (Wine's sc.exe
# ends with 1 and no output for commands it lacks). Any failure of a program
# that was loaded, Wine's tools as much as the program under test, is passed
# on as it is. The loader's and wineserver's error messages (err+all) are kept
# in the record as the cause.
scn_wine() {
  local image=${1##*[\\/]} rc try tries=${SCN_WINE_TRIES:-3} out err rec started
  [[ $image == *.* ]] || image+=.exe
  # Wine's own tools by their full path: by a bare name, Wine's start.exe
  # would look for the program and start it, one process more per call.
  local program=$1
  [ "$program" != "${program//[\\\/]/}" ] || [ ! -f "$SCN_PREFIX/drive_c/windows/system32/$image" ] ||
    program="C:\\windows\\system32\\$image"
  out=$SCN_PREFIX.out.$BASHPID err=$SCN_PREFIX.err.$BASHPID rec=$SCN_PREFIX.rec.$BASHPID
  for ((try = 1; ; try++)); do
    printf -v started '%(%T)T' -1
    WINEPREFIX=$SCN_PREFIX WINEDEBUG=-all,err+all,+loaddll WINEDLLOVERRIDES=$SCN_DLLOVERRIDES \
      ${SCN_TIMEOUT:+timeout "$SCN_TIMEOUT"} "$SCN_WINE" "$program" "${@:2}" >"$out" 2>"$err"
    rc=$?
    {
      echo ">> $* (try $try, started $started)"
      tr -d '\r' <"$out" | sed 's/^/| out: /'
      grep -av ':trace:loaddll:' "$err" | tr -d '\r' | sed 's/^/| err: /'
      echo "| exit $rc"
    } >"$rec"
    [ "$rc" -eq 0 ] || cp "$rec" "$SCN_PREFIX.failed"
    if [ "$rc" -ne 0 ] && ! grep -aqiF "\\\\$image\" at " "$err" && [ "$try" -lt "$tries" ]; then
      echo "| $image never ran (no loaddll line for its image): Wine did not start it; trying again" >>"$rec"
      cat "$rec" >>"$SCN_LOG"
      echo "scenario: $image never ran (exit $rc): $(grep -av ':trace:loaddll:' "$err" | tr -s '\r\n' ' ' | tail -c 300); trying again" >&2
      sleep 1
      continue
    fi
    cat "$rec" >>"$SCN_LOG"
    break
  done
  cat "$out"
  grep -avE '^[0-9a-f]{4}:(trace|warn|err|fixme):' "$err" >&2
  rm -f "$out" "$err" "$rec"
  return "$rc"
}

# scn_wine_bg PROGRAM ARGS...: starts a Windows program in the background with
# its event-log lines going to $SCN_LOG, and sets SCN_BG_PID (call it
# directly, not in $(...), so that the caller can wait for it).
scn_wine_bg() {
  printf '>> %s (background, started %(%T)T)\n' "$*" -1 >>"$SCN_LOG"
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
  scn_wine sc create "$name" binPath= "$(scn_winpath "$exe")" >/dev/null || { scn_fail "sc create $name failed"; return 1; }
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
scn_start_service() {
  local name=${1:?usage: scn_start_service NAME [STATE [SECONDS]]}
  scn_wine sc start "$name" >/dev/null || { scn_fail "sc start $name failed"; return 1; }
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
# "information TEXT", "warning TEXT" or "error TEXT" (the records of
# scn_wine's calls left out). Wine prints each
# insertion string as a C literal, cut after about 300 characters; \" and
# \\ are undone, other escapes (\n) are left as printed.
scn_events() {
  perl -ne '
    next if /^(\||>>) /;
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

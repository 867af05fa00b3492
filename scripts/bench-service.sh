#!/usr/bin/env bash
# The service benchmark under Wine: TALVMON against an empty service (the
# fake service double, installed beside it as TalvBaseline) under the same
# service manager, in one prefix per build.
#
#   bash scripts/bench-service.sh [BUILD_DIR ...]   default: build/win64 build/win32
#
# Per build: one warm-up, then TALV_BENCH_RUNS (default 9) alternating runs
# of the baseline and of TALVMON, each timed by bench/service_clock.exe inside
# the prefix: from StartService to RUNNING (and, for TALVMON, to its
# "Service started" event), from the stop control to STOPPED. Then TALVMON
# and the baseline run side by side for TALV_BENCH_IDLE_SECONDS (default
# 185: three one-minute ticks, no pool low): their CPU time (user + kernel)
# and peak working set, read from /proc outside the processes. Prints the
# medians (the fastest run in brackets) and the ratios of the medians as one
# table. Needs the builds of the README's test
# command (talvmon.exe, the doubles); builds service_clock.exe if missing.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
runs=${TALV_BENCH_RUNS:-9}
idle=${TALV_BENCH_IDLE_SECONDS:-185}
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(build/win64 build/win32)
hz=$(getconf CLK_TCK)
table=$(mktemp)
trap 'rm -f "$table"' EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f\n", a / b }'; }

# The Linux process of a Windows program of this prefix (its command line
# names EXE, its environment the prefix).
prefix_pid() {
  local exe=$1 p
  for p in /proc/[0-9]*; do
    { tr '\0' '\n' <"$p/cmdline" | head -n 1 | grep -qiF "$exe"; } 2>/dev/null || continue
    { tr '\0' '\n' <"$p/environ" | grep -qxF "WINEPREFIX=$SCN_PREFIX"; } 2>/dev/null || continue
    echo "${p#/proc/}"
    return 0
  done
  return 1
}
# User + kernel CPU time of a process, in clock ticks.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
peak_kb() { awk '/^VmHWM/ { print $2 }' "/proc/$1/status"; }

bench_build() (
  local build arch clock log
  build=$(cd "$1" && pwd) || exit 1
  arch=x64
  [ "$(basename "$build")" = win32 ] && arch=x86
  for f in bin/talvmon.exe doubles/fake_service.exe doubles/keeper.exe doubles/zvapi.dll; do
    [ -f "$build/$f" ] || { echo "bench-service: no $build/$f: run the README's test command first" >&2; exit 1; }
  done
  if [ ! -f "$build/bench/service_clock.exe" ]; then
    cmake --build "$build" --target service_clock >/dev/null || exit 1
  fi
  # shellcheck source=../tests/e2e/lib/exchange.sh
  source "$top/tests/e2e/lib/exchange.sh"
  scn_begin "$build" || exit 1
  # A stand-alone Exchange server's storage: drives E, F, G on two pools,
  # both far above the threshold.
  scn_install_service zvdriver || exit 1
  e2e_exchange_paths
  e2e_pools 500000
  e2e_install_talvmon "$build" service || exit 1
  # TALVMON depends on QORDAS: running beforehand, so that no start times it.
  scn_start_service QORDAS || exit 1
  # The baseline: the fake service double, an empty service, from a folder
  # of its own so that its process can be told from QORDAS's.
  mkdir -p "$SCN_PREFIX/drive_c/Baseline"
  cp "$build/doubles/fake_service.exe" "$SCN_PREFIX/drive_c/Baseline/" || exit 1
  scn_wine sc create TalvBaseline binPath= 'C:\Baseline\fake_service.exe' >/dev/null || exit 1
  clock=$(scn_winpath "$build/bench/service_clock.exe")
  log=$(scn_winpath "$SCN_LOG")
  local samples=$SCN_PREFIX.samples
  : >"$samples"

  # One start and stop of a service: "name start_ms event_ms stop_ms" into samples.
  timed() {
    local name=$1 out start event stop
    if [ "$name" = TALVMON ]; then
      out=$(scn_wine "$clock" start TALVMON "$log" "Service started") || { echo "bench-service: start of TALVMON failed" >&2; return 1; }
    else
      out=$(scn_wine "$clock" start "$name") || { echo "bench-service: start of $name failed" >&2; return 1; }
    fi
    start=$(awk '/^running_ms/ { print $2 }' <<<"${out//$'\r'/}")
    event=$(awk '/^event_ms/ { print $2 }' <<<"${out//$'\r'/}")
    out=$(scn_wine "$clock" stop "$name") || { echo "bench-service: stop of $name failed" >&2; return 1; }
    stop=$(awk '/^stopped_ms/ { print $2 }' <<<"${out//$'\r'/}")
    # The process gone before the next start.
    local pattern='C:\TALV\talvmon.exe'
    [ "$name" = TALVMON ] || pattern='C:\Baseline\'
    for _ in $(seq 60); do prefix_pid "$pattern" >/dev/null || break; sleep 0.5; done
    echo "$name $start ${event:--} $stop" >>"$samples"
  }

  timed TalvBaseline && timed TALVMON || exit 1
  : >"$samples"  # the warm-up is not counted
  for ((i = 1; i <= runs; i++)); do
    timed TalvBaseline || exit 1
    timed TALVMON || exit 1
  done

  # Idle: both running, three ticks of TALVMON's minute timer.
  scn_start_service TalvBaseline || exit 1
  scn_start_service TALVMON || exit 1
  scn_wait_event 'Service started' 60 || exit 1
  local tpid bpid t0 b0 t1 b1 calls0 calls1
  tpid=$(prefix_pid 'C:\TALV\talvmon.exe') || { echo "bench-service: TALVMON's process not found" >&2; exit 1; }
  bpid=$(prefix_pid 'C:\Baseline\') || { echo "bench-service: the baseline's process not found" >&2; exit 1; }
  calls0=$(e2e_zv_calls)
  t0=$(cpu_ticks "$tpid")
  b0=$(cpu_ticks "$bpid")
  sleep "$idle"
  t1=$(cpu_ticks "$tpid")
  b1=$(cpu_ticks "$bpid")
  calls1=$(e2e_zv_calls)
  local tpeak bpeak
  tpeak=$(peak_kb "$tpid")
  bpeak=$(peak_kb "$bpid")
  scn_wine sc stop TALVMON >/dev/null
  scn_wine sc stop TalvBaseline >/dev/null
  scn_wait_state TALVMON STOPPED 60 || true
  local low
  low=$(scn_events | grep -c 'shutdown threshold' || true)

  # The median of a column, and the fastest run in brackets.
  med() {
    local m f
    m=$(awk -v n="$1" -v c="$2" '$1 == n && $c != "-" { print $c }' "$samples" | median)
    f=$(awk -v n="$1" -v c="$2" '$1 == n && $c != "-" { print $c }' "$samples" | sort -g | head -n 1)
    echo "$m (${f:--})"
  }
  local ts tb te tstop bstop
  ts=$(med TALVMON 2)
  te=$(med TALVMON 3)
  tstop=$(med TALVMON 4)
  tb=$(med TalvBaseline 2)
  bstop=$(med TalvBaseline 4)
  local tms bms
  tms=$(( (t1 - t0) * 1000 / hz ))
  bms=$(( (b1 - b0) * 1000 / hz ))
  pct() { awk -v ms="$1" -v s="$idle" 'BEGIN { printf "%.3f%%", ms / (s * 10) }'; }
  {
    echo "| $arch | start: sc start to RUNNING (ms) | $ts | $tb | $(ratio "${ts%% *}" "${tb%% *}") | $runs |"
    echo "| $arch | start: sc start to \"Service started\" (ms) | $te | - | - | $runs |"
    echo "| $arch | stop when idle: sc stop to STOPPED (ms) | $tstop | $bstop | $(ratio "${tstop%% *}" "${bstop%% *}") | $runs |"
    echo "| $arch | idle CPU over ${idle} s, user + kernel (ms) | $tms ($(pct "$tms") of a core) | $bms ($(pct "$bms")) | - | 1 |"
    echo "| $arch | peak working set (MB) | $(awk -v k="$tpeak" 'BEGIN { printf "%.1f", k / 1024 }') | $(awk -v k="$bpeak" 'BEGIN { printf "%.1f", k / 1024 }') | $(ratio "$tpeak" "$bpeak") | 1 |"
    echo "| $arch | storage-library calls and low-pool events in the idle window | $((calls1 - calls0)) calls, $low events | - | - | 1 |"
  } >>"$table"
  echo "bench-service: $arch samples (name start event stop):" >&2
  sed 's/^/  /' "$samples" >&2
  rm -f "$samples"
  scn_end
)

status=0
for b in "${builds[@]}"; do
  bench_build "$b" || { echo "bench-service: $b failed" >&2; status=1; }
done
echo "machine: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $(/usr/lib/wine/wine64 --version 2>/dev/null)"
echo
echo "| build | measure | TALVMON median (fastest) | baseline median (fastest) | ratio of medians | runs |"
echo "|---|---|---:|---:|---:|---:|"
cat "$table"
exit "$status"

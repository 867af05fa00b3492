#!/usr/bin/env bash
# Demonstration: TALV Wardstone protecting a simulated Exchange server under
# Wine. Fourteen stand-in Exchange services run, Exchange's paths point at
# drives E: and F:, and one TALV pool backs both. TALVMON is installed and
# started; then the pool's free space drops below the threshold, and at the
# next check the monitor warns and shuts Exchange down in order.
#
#   bash scripts/demo.sh [x64|x86]   (as root on Debian 12: installs what it needs)
#
# x64 (the default) runs the x86-64 talvmon.exe, x86 the 32-bit one.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
arch=${1:-x64}
case $arch in
  x64) build_dir=build/win64 toolchain=mingw-x86_64.cmake ;;
  x86) build_dir=build/win32 toolchain=mingw-i686.cmake ;;
  *) echo "usage: bash scripts/demo.sh [x64|x86]" >&2; exit 2 ;;
esac

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "Installing what is missing and building the Windows build ($arch)"
bash scripts/install-deps.sh || exit 1
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
cmake -S . -B "$build_dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$toolchain" >/dev/null || exit 1
cmake --build "$build_dir" -j "$(nproc)" >/dev/null || { echo "build failed"; exit 1; }
build=$top/$build_dir
echo "talvmon.exe: the $arch build ($build_dir/bin/talvmon.exe)"

source tests/e2e/lib/exchange.sh

say "Preparing a simulated Exchange server in a fresh Wine prefix"
scn_begin "$build" || exit 1
scn_install_service zvdriver || exit 1
echo "starting the fourteen Exchange services..."
# Each stand-in takes half a second to stop, so the shutdown can be watched.
for name in "${EXCHANGE_SERVICES[@]}"; do EXCHANGE_BEHAVIOUR[$name]="WaitHint=200 StopDelayMs=500"; done
e2e_exchange_services running || exit 1
scn_set "$SERVICES_KEY\\MSExchangeIS\\ParametersPrivate" 'DB Path' 'E:\exchsrvr\mdbdata\priv1.edb'
scn_set "$SERVICES_KEY\\MSExchangeIS\\ParametersPublic" 'DB Path' 'E:\exchsrvr\mdbdata\pub1.edb'
scn_set "$SERVICES_KEY\\MSExchangeIS\\ParametersSystem" 'DB Log Path' 'F:\exchsrvr\mdblogs'
scn_set "$SERVICES_KEY\\MSExchangeMTA\\Parameters" 'MTA Database Path' 'F:\exchsrvr\mtadata'
# Pool "ExchPool" backs both drives: 2048 x 4096 units of 512 bytes = 4096 MB free.
scn_set "$ZVAPI_KEY\\Pools\\ExchPool" FreeFactorA 2048
scn_set "$ZVAPI_KEY\\Pools\\ExchPool" FreeFactorB 4096
scn_set "$ZVAPI_KEY\\Pools\\ExchPool\\Disks\\ExchData" DriveLetter E
scn_set "$ZVAPI_KEY\\Pools\\ExchPool\\Disks\\ExchLogs" DriveLetter F
echo "Exchange paths on E: and F:, both on TALV pool 'ExchPool' with 4096 MB free"

say "Installing TALVMON with talvmon.exe -Service and starting it (a check every minute, threshold 1024 MB)"
e2e_install_talvmon "$build" service || exit 1
scn_set "$SERVICES_KEY\\TALVMON\\Parameters" FreePoolSpaceThresholdMB 1024
scn_start_service TALVMON RUNNING 60 || exit 1
started=$SECONDS
scn_wait_event 'Service started' 30 || exit 1
echo "TALVMON: $(scn_state TALVMON)"

shown=0
show_new_events() {
  local lines
  mapfile -t lines < <(scn_events)
  while [ "$shown" -lt "${#lines[@]}" ]; do
    printf '  event log: %s\n' "${lines[$shown]}"
    shown=$((shown + 1))
  done
}
show_new_events

say "The pool fills up: free space drops to 512 MB, below the threshold"
scn_set "$ZVAPI_KEY\\Pools\\ExchPool" FreeFactorB 512

say "Waiting for the next check"
while ! scn_events | grep -q 'will now stop'; do
  left=$((60 - (SECONDS - started)))
  [ "$left" -lt 0 ] && left=0
  printf '\r  next check in about %2d s ' "$left"
  [ $((SECONDS - started)) -gt 200 ] && { echo; echo "no check happened"; exit 1; }
  sleep 1
done
printf '\r%40s\r' ''

say "Shutdown in progress"
last=""
while :; do
  show_new_events
  states=""
  for name in "${EXCHANGE_SERVICES[@]}"; do
    st=$(scn_state "$name")
    [ "$st" = STOPPED ] && states+=" ${name#MSExchange}:stopped" || states+=" ${name#MSExchange}:${st,,}"
  done
  if [ "$states" != "$last" ]; then
    echo "  services:$states"
    last=$states
  fi
  scn_events | grep -q 'has completed the shutdown' && break
  sleep 1
done
show_new_events

say "Stopping TALVMON"
scn_wine sc stop TALVMON >/dev/null
scn_wait_state TALVMON STOPPED 30
show_new_events
echo "TALVMON: $(scn_state TALVMON)"
say "Removing TALVMON: talvmon.exe -UnregServer"
e2e_uninstall_talvmon && echo "TALVMON is no longer installed"
say "Done; the prefix is removed"

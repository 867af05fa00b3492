# A simulated Exchange server for the end-to-end scenarios, on top of
# scripts/scenario.sh: the fourteen Exchange services as fake services, the
# storage driver service, Exchange's paths in the registry and one or more
# storage pools in the fake storage library.

E2E_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
# shellcheck source=../../../scripts/scenario.sh
source "$E2E_ROOT/scripts/scenario.sh"

EXCHANGE_SERVICES=(MSExchangeFB MSExchangeIMC MSExchangeINS MSExchangeMSMI MSExchangeKMS
  MSExchangeDX MSExchangeCCMC MSExchangeWEB MSExchangeES MSExchangeIS MSExchangePCMTA
  MSExchangeMTA MSExchangeDS MSExchangeSA)
ZVAPI_KEY='HKLM\Software\TalvTestDoubles\zvapi'
SERVICES_KEY='HKLM\System\CurrentControlSet\Services'
APPID_KEY='HKCR\AppID\{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}'

e2e_pass() { echo "PASS: $*"; }
e2e_fail() {
  echo "FAIL: $*" >&2
  echo "--- events so far:" >&2
  scn_events >&2 || true
  exit 1
}

# e2e_exchange_services [running|stopped]: installs the fourteen services
# (and starts them unless "stopped"). Extra behaviour per service comes from
# the array EXCHANGE_BEHAVIOUR[name]="Value=Data ...".
declare -gA EXCHANGE_BEHAVIOUR=()
e2e_exchange_services() {
  local mode=${1:-running} name
  for name in "${EXCHANGE_SERVICES[@]}"; do
    # A fake service reports its wait hint while it stops, as a real one
    # does; the monitor pauses at least a second between polls.
    # shellcheck disable=SC2086
    scn_install_service "$name" ${EXCHANGE_BEHAVIOUR[$name]:-WaitHint=200} || return 1
  done
  [ "$mode" = running ] || return 0
  for name in "${EXCHANGE_SERVICES[@]}"; do
    local want=RUNNING
    [[ ${EXCHANGE_BEHAVIOUR[$name]:-} == *State=paused* ]] && want=PAUSED
    scn_start_service "$name" "$want" || return 1
  done
}

# e2e_exchange_paths: store, logs and working directories on E: and F:
# (both on pool "PoolLow") and G: (on pool "PoolHigh").
e2e_exchange_paths() {
  scn_set "$SERVICES_KEY\\MSExchangeIS\\ParametersPrivate" 'DB Path' 'E:\exchsrvr\mdbdata\priv.edb'
  scn_set "$SERVICES_KEY\\MSExchangeIS\\ParametersPublic" 'DB Path' 'E:\exchsrvr\mdbdata\pub.edb'
  scn_set "$SERVICES_KEY\\MSExchangeIS\\ParametersSystem" 'DB Log Path' 'F:\exchsrvr\mdblogs'
  scn_set "$SERVICES_KEY\\MSExchangeDS\\Parameters" 'DSA Working directory' 'G:\exchsrvr\dsadata'
}

# e2e_pools LOW_FREE_MB: PoolLow (disks at E and F) with that many MB free,
# PoolHigh (disk at G) with plenty. Free space is factor A x factor B
# 512-byte units.
e2e_pools() {
  local low=$1
  scn_set "$ZVAPI_KEY\\Pools\\PoolLow" FreeFactorA 2048
  scn_set "$ZVAPI_KEY\\Pools\\PoolLow" FreeFactorB "$low"
  scn_set "$ZVAPI_KEY\\Pools\\PoolLow\\Disks\\DiskE" DriveLetter E
  scn_set "$ZVAPI_KEY\\Pools\\PoolLow\\Disks\\DiskF" DriveLetter F
  scn_set "$ZVAPI_KEY\\Pools\\PoolHigh" FreeFactorA 2048
  scn_set "$ZVAPI_KEY\\Pools\\PoolHigh" FreeFactorB 500000
  scn_set "$ZVAPI_KEY\\Pools\\PoolHigh\\Disks\\DiskG" DriveLetter G
}

# e2e_install_talvmon BUILD_DIR [service|plain]: copies talvmon.exe and the
# storage library into C:\TALV, sets the monitor's settings (a check every
# minute, threshold 10 MB) and registers the program with its own switch:
# "-Service" installs the service TALVMON (which depends on QORDAS, so a
# stand-in QORDAS is installed first), "-RegServer" registers it without one.
# TALV_E2E_ZVAPI names the storage library's build below the doubles folder
# (default zvapi.dll; the x86 build also has zvapi_cdecl/zvapi.dll).
e2e_install_talvmon() {
  local build=$1 mode=${2:-service}
  TALV_DIR=$SCN_PREFIX/drive_c/TALV
  mkdir -p "$TALV_DIR"
  cp "$build/bin/talvmon.exe" "$TALV_DIR/" || return 1
  scn_place_double "${TALV_E2E_ZVAPI:-zvapi.dll}" "$TALV_DIR" || return 1
  scn_set "$SERVICES_KEY\\TALVMON\\Parameters" CheckEveryMinutes 1
  scn_set "$SERVICES_KEY\\TALVMON\\Parameters" FreePoolSpaceThresholdMB 10
  if [ "$mode" = service ]; then
    scn_install_service QORDAS || return 1
    scn_wine 'C:\TALV\talvmon.exe' -Service || { scn_fail "talvmon.exe -Service failed ($?)"; return 1; }
  else
    scn_wine 'C:\TALV\talvmon.exe' -RegServer || { scn_fail "talvmon.exe -RegServer failed ($?)"; return 1; }
  fi
}

# e2e_uninstall_talvmon: removes everything of ours with "-UnregServer".
e2e_uninstall_talvmon() {
  scn_wine 'C:\TALV\talvmon.exe' -UnregServer || { scn_fail "talvmon.exe -UnregServer failed ($?)"; return 1; }
  ! scn_wine sc query TALVMON >/dev/null 2>&1 || { scn_fail "TALVMON still installed"; return 1; }
}

# e2e_stop_order: the services that received a stop request, in the order
# of their requests.
e2e_stop_order() {
  local name t
  for name in "${EXCHANGE_SERVICES[@]}"; do
    t=$(scn_reg query "HKLM\\Software\\TalvTestDoubles\\Services\\$name" /v StopRequestedAtText 2>/dev/null |
      tr -d '\r' | awk '/StopRequestedAtText/ { print $NF }')
    [ -n "$t" ] && printf '%s %s\n' "$t" "$name"
  done | sort -n | awk '{ print $2 }'
}

# e2e_shutdown_events: the event lines of one shutdown of the standard
# server (PoolLow behind E: and F: with 5 MB free, the default threshold),
# from the start: the warnings, the watch report, the shutdown.
e2e_shutdown_events() {
  cat <<'TXT'
information Service started
warning TALV pool 'PoolLow' has reached Microsoft Exchange Server shutdown threshold for partition E: of < 10 MB free in the pool.
warning TALV pool 'PoolLow' has reached Microsoft Exchange Server shutdown threshold for partition F: of < 10 MB free in the pool.
information TALV Wardstone is watching every Exchange drive: E: pool 'PoolLow', 5 MB free; F: pool 'PoolLow', 5 MB free; G: pool 'PoolHigh', 500000 MB free. Threshold 10 MB, checked every 60 seconds.
error TALV Wardstone will now stop Microsoft Exchange Server.
information TALV Wardstone has completed the shutdown of Microsoft Exchange.
TXT
}

# e2e_expect_events FILE: the event lines must equal FILE's lines.
e2e_expect_events() {
  local got
  got=$(scn_events)
  if [ "$got" != "$(cat "$1")" ]; then
    diff <(echo "$got") "$1" >&2 || true
    e2e_fail "event lines differ (< got, > expected)"
  fi
}

# e2e_zv_calls: how many calls the fake storage library has taken so far.
e2e_zv_calls() {
  local v
  v=$(scn_reg query "$ZVAPI_KEY\\Calls" /v Total 2>/dev/null | tr -d '\r' | awk '/Total/ { print $NF }')
  printf '%d\n' "${v:-0}"
}

#!/usr/bin/env bash
# The Wine test bed: throw-away, headless prefixes for running Windows test
# programs on this machine, with no display and no network.
#
#   winebed.sh template          boot (once) the template prefix, headless
#   winebed.sh new DIR           make DIR a fresh prefix copied from the template
#   winebed.sh destroy DIR       end DIR's wineserver and remove it
#   winebed.sh run EXE [ARGS]    run EXE in a fresh prefix; its output and exit
#                                code are passed through; the prefix is removed
#   winebed.sh keeper DIR [EXE]  start keeper.exe (EXE, or TALV_KEEPER_EXE) in DIR,
#                                which keeps DIR's services alive; prints its pid;
#                                its standard error goes to TALV_KEEPER_LOG
#
# Environment: TALV_WINE_TEMPLATE (template location), WINEDEBUG (default -all),
# WINEDLLOVERRIDES (default: Wine's own clusapi.dll disabled, since it makes
# every machine look like a cluster node and crashes on OpenClusterResource).
set -euo pipefail

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver64}
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
# A prefix booted while Wine's 32-bit half (wine32:i386) is installed is a
# WoW64 prefix, which runs both 32- and 64-bit programs; one booted without it
# can never run a 32-bit program. The two kinds get templates of their own,
# so installing wine32 later never leaves a stale 64-bit-only template behind.
if [ -x /usr/lib/wine/wine ]; then
  TEMPLATE=${TALV_WINE_TEMPLATE:-/tmp/talv-wine-wow64-$(id -u)}
else
  TEMPLATE=${TALV_WINE_TEMPLATE:-/tmp/talv-wine-template-$(id -u)}
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-clusapi=;mscoree=;mshtml=;winemenubuilder.exe=}
# No display: the null driver below makes windows and timers work without X.
unset DISPLAY WAYLAND_DISPLAY

die() { echo "winebed: $*" >&2; exit 2; }

# Wine brings a prefix up to date (as "wineboot --update" does) whenever the
# stamp in its .update-timestamp differs from the modification time of the
# installation's wine.inf, and that update rewrites the prefix's system files
# in place. In a copy those files are the template's own, hard-linked: one
# scenario's update would rewrite them under every other prefix copied from
# the template. So a template whose stamp is not the installation's (Wine
# was upgraded or reinstalled since it was booted) is booted afresh.
WINE_INF=${WINE_INF:-/usr/share/wine/wine.inf}
template_current() {
  [ -f "$TEMPLATE/.ready" ] || return 1
  [ -f "$WINE_INF" ] || return 0
  [ "$(cat "$TEMPLATE/.update-timestamp" 2>/dev/null)" = "$(stat -c %Y "$WINE_INF")" ]
}

# boot_template: leaves a current template and holds a shared lock on it
# (descriptor 9) so that no one boots it afresh while it is copied; the
# template is only ever booted under the exclusive lock.
boot_template() {
  mkdir -p "$(dirname "$TEMPLATE")"
  exec 9>>"$TEMPLATE.lock"
  flock -s 9
  template_current && return 0
  flock -x 9
  if ! template_current; then
    rm -rf "$TEMPLATE"
    WINEPREFIX="$TEMPLATE" "$WINE" wineboot -i >/dev/null 2>&1 || die "wineboot failed"
    WINEPREFIX="$TEMPLATE" "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
      >/dev/null 2>&1 || die "could not select the null display driver"
    WINEPREFIX="$TEMPLATE" "$WINESERVER" -w
    touch "$TEMPLATE/.ready"
  fi
  flock -s 9
}

new_prefix() {
  local dir=$1
  boot_template
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  # Hard links for the files Wine only reads; real copies of what it
  # rewrites (the registry, and the update stamp, which Wine opens for
  # writing on every start).
  cp -al "$TEMPLATE" "$dir"
  rm -f "$dir/.ready"
  for f in "$TEMPLATE"/*.reg "$TEMPLATE/.update-timestamp"; do
    cp --remove-destination "$f" "$dir/$(basename "$f")"
  done
  flock -u 9
}

destroy_prefix() {
  local dir=$1
  [ -d "$dir" ] || return 0
  WINEPREFIX="$dir" "$WINESERVER" -k >/dev/null 2>&1 || true
  WINEPREFIX="$dir" "$WINESERVER" -w >/dev/null 2>&1 || true
  rm -rf "$dir"
}

cmd=${1:-}
shift || true
case "$cmd" in
  template) boot_template ;;
  new) [ $# -eq 1 ] || die "usage: new DIR"; new_prefix "$1" ;;
  destroy) [ $# -eq 1 ] || die "usage: destroy DIR"; destroy_prefix "$1" ;;
  run)
    [ $# -ge 1 ] || die "usage: run EXE [ARGS]"
    exe=$1
    shift
    [ -f "$exe" ] || die "no such program: $exe"
    dir=$(mktemp -d /tmp/talv-wine-run.XXXXXX)
    trap 'destroy_prefix "$dir"' EXIT
    new_prefix "$dir"
    set +e
    WINEPREFIX="$dir" "$WINE" "$exe" "$@"
    rc=$?
    set -e
    exit $rc
    ;;
  keeper)
    { [ $# -ge 1 ] && [ $# -le 2 ]; } || die "usage: keeper DIR [KEEPER_EXE]"
    keeper_exe=${2:-${TALV_KEEPER_EXE:-$(dirname "$0")/../build/win64/doubles/keeper.exe}}
    [ -f "$keeper_exe" ] || die "no keeper program: $keeper_exe (give KEEPER_EXE or TALV_KEEPER_EXE)"
    # An ordinary process that outlives every test step: Wine ends its
    # service manager soon after the last non-service process exits. Started
    # first in the prefix, it passes its environment and standard error (to
    # TALV_KEEPER_LOG, if set) on to every service.
    WINEPREFIX="$1" "$WINE" "$keeper_exe" </dev/null >/dev/null 2>>"${TALV_KEEPER_LOG:-/dev/null}" &
    echo $!
    ;;
  *) die "usage: winebed.sh template|new|destroy|run|keeper ..." ;;
esac

#!/usr/bin/env bash
# Wine test rig: a private 64-bit prefix with a registry virtual desktop on its own Xvfb display,
# one persistent wineserver and a desktop process kept alive for the whole run.
#
#   scripts/wine-env.sh run CMD [ARGS...]   set up, run CMD inside, tear down; CMD's exit status
#   source scripts/wine-env.sh              defines wine_env_start / wine_env_stop [PREFIX]
#
# Settings (environment): QUILLAN_WINEPREFIX (default: a new /tmp/quillan-wine.XXXXXX),
# QUILLAN_WINE_DISPLAY=own|inherit (default own: always a private Xvfb, even when DISPLAY is
# set, so tests never touch a real screen; `inherit` uses $DISPLAY when there is one),
# QUILLAN_WINE_SCREEN (the private Xvfb's screen, default 1024x768x24, the desktop's size),
# QUILLAN_WINE_TEMPLATE (default /tmp/quillan-wine-template-$UID: a booted prefix copied
# instead of a 15-20 s cold `wineboot`; set it empty to always boot), QUILLAN_WINE_BOOTED=1
# (QUILLAN_WINEPREFIX is a prefix this rig booted before, desktop keys written: used as it is,
# as the emulated guest's prefix made with its image, tests/guest/).
#
# The order matters (and is easy to get silently wrong): the desktop keys must be in the
# registry before the prefix's desktop process starts, and any wine command starts one. So:
# boot, write the keys, stop that server, start the persistent one, then start the desktop.

WINE_BIN=${WINE_BIN:-/usr/lib/wine/wine64}
WINESERVER_BIN=${WINESERVER_BIN:-/usr/lib/wine/wineserver}
WINE_DESKTOP_SIZE=1024x768

_wine_log() { printf 'wine-env: %s\n' "$*" >&2; }

# Xvfb on a display number it picks itself (-displayfd: no race with other users of the
# machine); sets DISPLAY and QUILLAN_XVFB_PID.
_wine_start_xvfb() {
  local fd=$QUILLAN_WINE_STATE/displayfd number= tries=100
  : >"$fd"
  Xvfb -displayfd 3 -screen 0 "${QUILLAN_WINE_SCREEN:-${WINE_DESKTOP_SIZE}x24}" -nolisten tcp \
    -noreset 3>"$fd" >"$QUILLAN_WINE_STATE/xvfb.log" 2>&1 </dev/null &
  QUILLAN_XVFB_PID=$!
  while ((tries-- > 0)); do
    number=$(tr -dc '0-9' <"$fd")
    [ -n "$number" ] && break
    kill -0 "$QUILLAN_XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$number" ]; then
    _wine_log "Xvfb did not start (see $QUILLAN_WINE_STATE/xvfb.log)"
    return 1
  fi
  export DISPLAY=":$number"
}

# A booted prefix: copied from the template when it matches this wine, else booted cold (and
# then saved as the template for the next run).
_wine_boot_prefix() {
  local template=${QUILLAN_WINE_TEMPLATE-/tmp/quillan-wine-template-$(id -u)} stamp
  if [ "${QUILLAN_WINE_BOOTED:-0}" = 1 ] && [ -f "$WINEPREFIX/system.reg" ]; then
    _wine_keys_written=1
    return 0
  fi
  stamp=$("$WINE_BIN" --version 2>/dev/null)
  if [ -n "$template" ] && [ -f "$template/.quillan-template" ] &&
    [ "$(cat "$template/.quillan-template")" = "$stamp" ]; then
    rm -rf "$WINEPREFIX"
    if cp -a "$template" "$WINEPREFIX" 2>/dev/null; then
      rm -f "$WINEPREFIX/.quillan-template"
      _wine_keys_written=1  # the template was saved with the desktop keys, server stopped
      return 0
    fi
    _wine_log "copying the template prefix failed; booting a fresh one"
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$WINEPREFIX"
  "$WINE_BIN" wineboot -i </dev/null >"$QUILLAN_WINE_STATE/wineboot.log" 2>&1 || {
    _wine_log "wineboot failed (see $QUILLAN_WINE_STATE/wineboot.log)"
    return 1
  }
  # wineboot can return while the installer of the prefix's 32-bit half still runs (seen under
  # full emulation, tests/guest/); stopping the server below would cut it short. This waits for
  # the server to end on its own, after the last program.
  "$WINESERVER_BIN" -w </dev/null >/dev/null 2>&1
  # The desktop keys go into the template too, written while no desktop runs yet.
  _wine_write_desktop_keys || return 1
  _wine_restart_server
  _wine_keys_written=1
  [ -n "$template" ] || return 0
  local temporary="$template.tmp.$$"
  rm -rf "$temporary"
  if cp -a "$WINEPREFIX" "$temporary" 2>/dev/null; then
    printf '%s' "$stamp" >"$temporary/.quillan-template"
    rm -rf "$template"
    mv "$temporary" "$template" 2>/dev/null
  fi
  rm -rf "$temporary"
}

_wine_write_desktop_keys() {
  "$WINE_BIN" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1 &&
    "$WINE_BIN" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
      /d "$WINE_DESKTOP_SIZE" /f </dev/null >/dev/null 2>&1 || {
    _wine_log "writing the virtual desktop keys failed"
    return 1
  }
}

# Stops this prefix's server and waits for it: the next wine command starts a fresh one.
_wine_restart_server() {
  "$WINESERVER_BIN" -k </dev/null >/dev/null 2>&1
  "$WINESERVER_BIN" -w </dev/null >/dev/null 2>&1
}

# Debian 12's Wine 8 looks for its own fonts (fonts-wine: Marlett draws the title-bar buttons,
# Tahoma stands behind "MS Shell Dlg") under "Z:\usr\share\wine\../fonts", which it cannot open,
# and falls back (the caption buttons show as "0 1 r"). The prefix's own Fonts folder, which Wine
# always reads, gets links to them (cheap: every prefix, template copies too).
_wine_link_fonts() {
  local folder="$WINEPREFIX/drive_c/windows/Fonts" font
  mkdir -p "$folder" || return 1
  for font in /usr/share/wine/fonts/*; do
    [ -f "$font" ] && [ ! -e "$folder/$(basename "$font")" ] && ln -s "$font" "$folder/"
  done
  return 0
}

wine_env_start() {
  local prefix=${QUILLAN_WINEPREFIX:-} tool tries=150
  [ -n "$prefix" ] || prefix=$(mktemp -d /tmp/quillan-wine.XXXXXX) || return 1
  mkdir -p "$prefix" && prefix=$(cd "$prefix" && pwd) || return 1
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
  # Rig state (logs) lives beside the prefix.
  export QUILLAN_WINE_STATE="$prefix.rig" QUILLAN_XVFB_PID= QUILLAN_EXPLORER_PID=
  mkdir -p "$QUILLAN_WINE_STATE"

  for tool in "$WINE_BIN" "$WINESERVER_BIN" Xvfb xdotool; do
    command -v "$tool" >/dev/null || {
      _wine_log "missing $tool (run scripts/setup.sh)"
      return 1
    }
  done

  if [ "${QUILLAN_WINE_DISPLAY:-own}" = inherit ] && [ -n "${DISPLAY:-}" ]; then
    _wine_log "using DISPLAY=$DISPLAY"
  else
    _wine_start_xvfb || return 1
  fi

  _wine_keys_written=
  _wine_boot_prefix || return 1
  _wine_link_fonts || _wine_log "linking Wine's fonts into the prefix failed"
  if [ -z "$_wine_keys_written" ]; then
    _wine_write_desktop_keys || return 1
    _wine_restart_server  # so the desktop process that starts next reads the keys
  fi
  # Persistent server: without it every test process pays for a new server and desktop (~2 s).
  # Its own output goes to a log: a daemon holding the caller's stdout would hang `$(...)`.
  "$WINESERVER_BIN" -p </dev/null >>"$QUILLAN_WINE_STATE/wineserver.log" 2>&1 || {
    _wine_log "wineserver -p failed"
    return 1
  }
  "$WINE_BIN" explorer "/desktop=Default,$WINE_DESKTOP_SIZE" </dev/null \
    >"$QUILLAN_WINE_STATE/explorer.log" 2>&1 &
  QUILLAN_EXPLORER_PID=$!

  # The desktop window must really exist: without it, hiding a window costs ~2 s each time.
  until xdotool search --name 'Wine desktop' >/dev/null 2>&1; do
    ((tries-- > 0)) || {
      _wine_log "the Wine virtual desktop did not appear on $DISPLAY"
      return 1
    }
    sleep 0.1
  done
  _wine_log "ready: WINEPREFIX=$WINEPREFIX DISPLAY=$DISPLAY"
}

# Stops only what this rig started: this prefix's server (and with it its processes), the
# desktop process, our Xvfb; then removes the prefix when it is under /tmp.
wine_env_stop() {
  local prefix=${1:-${WINEPREFIX:-}} pid tries
  [ -n "$prefix" ] || return 0
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix "$WINESERVER_BIN" -k </dev/null >/dev/null 2>&1
    WINEPREFIX=$prefix timeout 20 "$WINESERVER_BIN" -w </dev/null >/dev/null 2>&1
  fi
  for pid in "${QUILLAN_EXPLORER_PID:-}" "${QUILLAN_XVFB_PID:-}"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || continue
    tries=30
    while ((tries-- > 0)) && kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  QUILLAN_EXPLORER_PID= QUILLAN_XVFB_PID=
  case "$prefix" in
    /tmp/*) rm -rf "$prefix" "$prefix.rig" ;;
    *) rm -rf "$prefix.rig" ;;  # a prefix the caller named outside /tmp is left in place
  esac
}

# Sourced: only define the functions. Executed: `run`.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  if [ "${1:-}" != run ] || [ $# -lt 2 ]; then
    echo "usage: $0 run COMMAND [ARGS...]" >&2
    exit 2
  fi
  shift
  wine_env_start || {
    wine_env_stop
    exit 1
  }
  trap 'wine_env_stop "$WINEPREFIX"' EXIT
  trap 'exit 130' INT TERM
  status=0
  "$@" || status=$?
  exit "$status"
fi

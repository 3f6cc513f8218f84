#!/usr/bin/env bash
# The run command: sets up, builds and starts Quillan proxy.
#
#   scripts/run.sh           Linux: build the 64-bit Windows program and run it under wine64 in a
#                            Wine virtual desktop (on $DISPLAY, or on a private Xvfb when there is
#                            no display). Windows (Git Bash/MSYS): run the built quillan.exe.
#   scripts/run.sh --demo    Linux: a real Remote Desktop session through the tunnel. Also starts
#                            a SOCKS5 server (microsocks) and a Remote Desktop server (xrdp) on
#                            loopback, points the settings at them, presses Start, connects the
#                            client (xfreerdp) and shows its window with the server's login
#                            screen beside Quillan's; then presses Stop, shows the log and cleans
#                            up. A screenshot of both windows goes to /tmp/quillan-demo.png
#                            (with --save-screenshot also to docs/screenshot.png).
#
# Environment: QUILLAN_BUILD_ROOT (default build), QUILLAN_JOBS (default 2), QUILLAN_SKIP_SETUP=1
# (do not call scripts/setup.sh), QUILLAN_EXE (Windows: the program to run).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
build_root=${QUILLAN_BUILD_ROOT:-build}
jobs=${QUILLAN_JOBS:-2}
demo=0
save_screenshot=0
for argument in "$@"; do
  case "$argument" in
    --demo) demo=1 ;;
    --save-screenshot) save_screenshot=1 ;;
    -h | --help)
      sed -n '/^set -e/q; 2,$s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *)
      echo "run: unknown argument $argument (try --help)" >&2
      exit 2
      ;;
  esac
done

say() { printf 'run: %s\n' "$*"; }
# poll TRIES PAUSE COMMAND...: runs COMMAND until it succeeds, at most TRIES times.
poll() {
  local tries=$1 pause=$2
  shift 2
  until "$@"; do
    ((--tries > 0)) || return 1
    sleep "$pause"
  done
}
gone() { ! kill -0 "$1" 2>/dev/null; }
if [ $save_screenshot -eq 1 ] && [ $demo -eq 0 ]; then
  echo "run: --save-screenshot goes with --demo" >&2
  exit 2
fi

# ---- Windows: nothing to emulate ------------------------------------------------------------
case "$(uname -s)" in
  MINGW* | MSYS* | CYGWIN*)
    exe=${QUILLAN_EXE:-}
    for candidate in "$build_root"/windows-{x86,x64}/app/quillan.exe; do
      [ -z "$exe" ] && [ -f "$candidate" ] && exe=$candidate
    done
    [ -n "$exe" ] || {
      echo "run: no quillan.exe found; build it on Linux (scripts/run.sh) or set QUILLAN_EXE" >&2
      exit 1
    }
    [ $demo -eq 0 ] || say "--demo runs on Linux only; starting the program"
    exec "$exe"
    ;;
esac

# ---- Linux: set up, build, run under wine64 -------------------------------------------------
if [ "${QUILLAN_SKIP_SETUP:-0}" != 1 ] && [ -x scripts/setup.sh ]; then
  scripts/setup.sh run
fi

build_dir="$build_root/windows-x64"
[ -f "$build_dir/CMakeCache.txt" ] || cmake --preset windows-x64 -B "$build_dir" >/dev/null
targets=(quillan)
[ $demo -eq 1 ] && targets+=(quillan-drive)
say "building ${targets[*]} (windows-x64)"
cmake --build "$build_dir" -j"$jobs" --target "${targets[@]}" >/dev/null
exe="$repo/$build_dir/app/quillan.exe"
drive="$repo/$build_dir/tests/app/quillan-drive.exe"

# The Wine rig: a private prefix with a virtual desktop, shown on $DISPLAY when there is one,
# else on an Xvfb of its own (for the demo one wide enough for the client beside the desktop).
# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
# shellcheck source=scripts/lib.sh
source scripts/lib.sh
export QUILLAN_WINE_DISPLAY=inherit
app_pid=
work=
cleanup() {
  local status=$?
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then kill "$app_pid" 2>/dev/null || true; fi
  stop_groups
  wine_env_stop "${WINEPREFIX:-}" >/dev/null 2>&1 || true
  [ -n "$work" ] && rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ $demo -eq 1 ]; then
  for tool in microsocks xrdp xfreerdp xdotool import python3; do
    command -v "$tool" >/dev/null || {
      echo "run: the demo needs $tool (run scripts/setup.sh)" >&2
      exit 1
    }
  done
  work=$(mktemp -d /tmp/quillan-demo.XXXXXX)
  QUILLAN_WORK=$work
  export QUILLAN_WINE_SCREEN=1850x800x24
fi
wine_env_start
[ -n "$QUILLAN_XVFB_PID" ] && say "no display: the Wine desktop is on a private Xvfb ($DISPLAY)"

if [ $demo -eq 0 ]; then
  say "starting Quillan proxy; close its window (or press Ctrl+C) to end"
  "$WINE_BIN" "$exe" &
  app_pid=$!
  wait "$app_pid" || true
  app_pid=
  exit 0
fi

# ---- the demo -----------------------------------------------------------------------------
drive() { "$WINE_BIN" "$drive" "$@" </dev/null; }

proxy_port=$(free_port)
rdp_port=$(free_port)
local_port=$(free_port)
start_group microsocks microsocks -i 127.0.0.1 -p "$proxy_port"
# xrdp from a private copy of its configuration: loopback only, its own log, no system service.
sed -e "s|^port=.*|port=tcp://127.0.0.1:$rdp_port|" -e "s|^LogFile=.*|LogFile=$work/xrdp-server.log|" \
  -e 's|^EnableSyslog=.*|EnableSyslog=false|' /etc/xrdp/xrdp.ini >"$work/xrdp.ini"
start_group xrdp xrdp --nodaemon --config "$work/xrdp.ini"
for port in "$proxy_port" "$rdp_port"; do
  wait_listening "$port" 5 || {
    echo "run: nothing listens on 127.0.0.1:$port" >&2
    exit 1
  }
done
say "microsocks on 127.0.0.1:$proxy_port, xrdp on 127.0.0.1:$rdp_port"

# The settings as a previous run would have left them in the registry.
key='HKCU\Software\Varnholt Software\Quillan'
for setting in "cLocPort=$local_port" "cSockServ=127.0.0.1" "cSockPort=$proxy_port" "cSockName=" \
  "cSockPass=" "cTargServ=127.0.0.1" "cTargPort=$rdp_port"; do
  "$WINE_BIN" reg add "$key" /v "${setting%%=*}" /d "${setting#*=}" /f </dev/null >/dev/null
done

"$WINE_BIN" "$exe" >"$work/quillan.log" 2>&1 &
app_pid=$!
drive wait
# Quillan at the right edge of the Wine desktop, the client's window just right of the desktop.
read -r width height _ _ < <(drive rect | tr -d '\r')
desktop=$(xdotool search --name 'Wine desktop' | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$desktop" | sed 's/^/desktop_/')"
drive move $((desktop_WIDTH - width - 16)) 16
say "window up; pressing Start"
drive click start
if ! drive wait-enabled stop 20000; then
  echo "run: the tunnel did not start: $(drive box 2>/dev/null || echo 'no message box')" >&2
  tr -d '\r' <"$work/quillan.log" >&2
  exit 1
fi

say "connecting the Remote Desktop client to 127.0.0.1:$local_port"
start_group xfreerdp timeout 300 xfreerdp "/v:127.0.0.1:$local_port" /cert:ignore /size:800x600
client_pid=$started_pid
find_client() {
  client=$(xdotool search --name "^FreeRDP: 127\.0\.0\.1:$local_port\$" 2>/dev/null | head -n 1) || true
  [ -n "$client" ]
}
poll 100 0.2 find_client || {
  echo "run: the Remote Desktop client's window did not appear" >&2
  tail -n 20 "$work/xfreerdp.log" >&2
  exit 1
}
xdotool windowmove "$client" $((desktop_X + desktop_WIDTH)) "$desktop_Y"
# The login screen has arrived once xrdp has logged the TLS start and the window shows more
# than a flat colour.
login_shown() {
  grep -q "TLS connection established from 127.0.0.1" "$work/xrdp-server.log" 2>/dev/null &&
    import -window "$client" "$work/client.png" 2>/dev/null &&
    [ "$(convert "$work/client.png" -format '%k' info: 2>/dev/null || echo 0)" -ge 8 ]
}
poll 100 0.2 login_shown || {
  echo "run: the server's login screen did not reach the client" >&2
  exit 1
}
say "the Remote Desktop server's login screen came through the tunnel"
sleep 1  # the last bitmaps of the login screen

# Both windows: the right part of the Wine desktop with Quillan, and the client beside it.
eval "$(xdotool getwindowgeometry --shell "$client" | sed 's/^/client_/')"
left=$((desktop_X + desktop_WIDTH - width - 32))
shot_width=$((width + 32 + 800))
import -window root -crop "${shot_width}x${client_HEIGHT}+${left}+${desktop_Y}" +repage /tmp/quillan-demo.png
say "screenshot of both windows: /tmp/quillan-demo.png"
if [ $save_screenshot -eq 1 ]; then
  mkdir -p docs
  cp /tmp/quillan-demo.png docs/screenshot.png
  say "saved as docs/screenshot.png"
fi

drive click stop
drive wait-enabled start 10000
client_ended=0
if poll 100 0.2 gone "$client_pid"; then
  client_ended=1
  say "Stop pressed: the session ended and the client closed"
else
  echo "run: the client did not notice the end of the session" >&2
fi
drive click close
poll 50 0.1 gone "$app_pid" || true
wait "$app_pid" 2>/dev/null && status=0 || status=$?
app_pid=
say "quillan.exe ended with exit code $status"
echo "---- log (standard output of quillan.exe) ----"
tr -d '\r' <"$work/quillan.log"
echo "----------------------------------------------"
[ $client_ended -eq 1 ] || exit 1
say "demo OK"

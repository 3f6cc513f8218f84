#!/usr/bin/env bash
# The run command: sets up, builds and starts Quillan proxy.
#
#   scripts/run.sh           Linux: build the 64-bit Windows program and run it under wine64 in a
#                            Wine virtual desktop (on $DISPLAY, or on a private Xvfb when there is
#                            no display). Windows (Git Bash/MSYS): run the built quillan.exe.
#   scripts/run.sh --demo    Linux: also start a SOCKS5 server (microsocks) and a loopback echo
#                            target, point the settings at them, press Start, send a line through
#                            the tunnel, show the echoed line and the log, save a screenshot of
#                            the window to docs/screenshot.png, and clean up everything.
#
# Environment: QUILLAN_BUILD_ROOT (default build), QUILLAN_JOBS (default 2), QUILLAN_SKIP_SETUP=1
# (do not call scripts/setup.sh), QUILLAN_EXE (Windows: the program to run).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
build_root=${QUILLAN_BUILD_ROOT:-build}
jobs=${QUILLAN_JOBS:-2}
demo=0
for argument in "$@"; do
  case "$argument" in
    --demo) demo=1 ;;
    -h | --help)
      sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "run: unknown argument $argument (try --help)" >&2
      exit 2
      ;;
  esac
done

say() { printf 'run: %s\n' "$*"; }

# ---- Windows: nothing to emulate ------------------------------------------------------------
case "$(uname -s)" in
  MINGW* | MSYS* | CYGWIN*)
    exe=${QUILLAN_EXE:-}
    if [ -z "$exe" ]; then
      for candidate in "$build_root/windows-x86/app/quillan.exe" "$build_root/windows-x64/app/quillan.exe"; do
        [ -f "$candidate" ] && exe=$candidate && break
      done
    fi
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
  scripts/setup.sh
fi

build_dir="$build_root/windows-x64"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake --preset windows-x64 -B "$build_dir" >/dev/null
fi
targets=(quillan)
[ $demo -eq 1 ] && targets+=(quillan-drive)
say "building ${targets[*]} (windows-x64)"
cmake --build "$build_dir" -j"$jobs" --target "${targets[@]}" >/dev/null
exe="$repo/$build_dir/app/quillan.exe"
drive="$repo/$build_dir/tests/app/quillan-drive.exe"

# The Wine rig: a private prefix with a virtual desktop, shown on $DISPLAY when there is one,
# else on an Xvfb of its own.
# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
export QUILLAN_WINE_DISPLAY=inherit
started_pids=()
app_pid=
cleanup() {
  local status=$?
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then kill "$app_pid" 2>/dev/null || true; fi
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wine_env_stop "${WINEPREFIX:-}" >/dev/null 2>&1 || true
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM
wine_env_start
[ -n "${QUILLAN_XVFB_PID:-}" ] && say "no display: the window is on a private Xvfb ($DISPLAY)"

if [ $demo -eq 0 ]; then
  say "starting Quillan proxy; close its window (or press Ctrl+C) to end"
  "$WINE_BIN" "$exe" &
  app_pid=$!
  wait "$app_pid" || true
  app_pid=
  exit 0
fi

# ---- the demo -----------------------------------------------------------------------------
work=$(mktemp -d /tmp/quillan-demo.XXXXXX)
started_dirs_cleanup() { rm -rf "$work"; }
trap 'started_dirs_cleanup; cleanup' EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() {
  for _ in $(seq 1 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "run: nothing listens on 127.0.0.1:$1" >&2
  return 1
}
drive() { "$WINE_BIN" "$drive" "$@"; }

proxy_port=$(free_port)
echo_port=$(free_port)
local_port=$(free_port)
microsocks -i 127.0.0.1 -p "$proxy_port" >"$work/microsocks.log" 2>&1 &
started_pids+=($!)
socat "TCP-LISTEN:$echo_port,bind=127.0.0.1,reuseaddr,fork" PIPE >"$work/echo.log" 2>&1 &
started_pids+=($!)
wait_port "$proxy_port"
wait_port "$echo_port"
say "microsocks on 127.0.0.1:$proxy_port, echo target on 127.0.0.1:$echo_port"

# The settings as a previous run would have left them in the registry.
key='HKCU\Software\Varnholt Software\Quillan'
for setting in "cLocPort=$local_port" "cSockServ=127.0.0.1" "cSockPort=$proxy_port" "cSockName=" \
  "cSockPass=" "cTargServ=127.0.0.1" "cTargPort=$echo_port"; do
  "$WINE_BIN" reg add "$key" /v "${setting%%=*}" /d "${setting#*=}" /f </dev/null >/dev/null
done

"$WINE_BIN" "$exe" >"$work/quillan.log" 2>&1 &
app_pid=$!
drive wait
say "window up; pressing Start"
drive click 1009
if ! drive wait-enabled 1010 20000; then
  echo "run: the tunnel did not start: $(drive box 2>/dev/null || echo 'no message box')" >&2
  tr -d '\r' <"$work/quillan.log" >&2
  exit 1
fi

line="Hello through Quillan proxy, $(date -u +%H:%M:%S)"
say "sending through 127.0.0.1:$local_port: $line"
echoed=$(python3 - "$local_port" "$line" <<'PY'
import socket, sys
port, line = int(sys.argv[1]), (sys.argv[2] + "\n").encode()
with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
    s.sendall(line)
    got = b""
    while not got.endswith(b"\n"):
        chunk = s.recv(4096)
        if not chunk:
            break
        got += chunk
print(got.decode().rstrip("\n"))
PY
)
say "echoed back:              $echoed"

sleep 0.5  # let the window repaint after the buttons changed
read -r width height left top < <(drive rect | tr -d '\r')
desktop=$(xdotool search --name 'Wine desktop' | head -n 1)
mkdir -p docs
import -window "$desktop" -crop "${width}x${height}+${left}+${top}" +repage docs/screenshot.png
say "screenshot of the window: docs/screenshot.png (${width}x${height})"

drive click 1010
drive wait-enabled 1009 10000
drive click 2
for _ in $(seq 1 50); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
wait "$app_pid" 2>/dev/null && status=0 || status=$?
app_pid=
say "quillan.exe ended with exit code $status"
echo "---- log (standard output of quillan.exe) ----"
tr -d '\r' <"$work/quillan.log"
echo "----------------------------------------------"
[ "$echoed" = "$line" ] || {
  echo "run: the echoed line differs from the one sent" >&2
  exit 1
}
say "demo round trip OK"

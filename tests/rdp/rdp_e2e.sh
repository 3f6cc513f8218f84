#!/usr/bin/env bash
# A real Remote Desktop session through the tunnel, end to end on loopback:
#   xfreerdp -> 127.0.0.1:<local port> -> Quillan -> Dante (login) -> xrdp
# Dante asks for a login whose password holds "@ : # % !" and a space. The session runs twice:
# through quillan.exe under wine64, driven through its window, and through the native
# quillan-run. Each time the server's login screen must reach the client's window (judged by
# its pixels) and the server's log must show the TLS start; then Stop must end the session (the
# client exits) and free the local port.
#
#   tests/rdp/rdp_e2e.sh QUILLAN_EXE QUILLAN_DRIVE_EXE QUILLAN_RUN
#
# Needs xrdp, xfreerdp, danted, Xvfb, xdotool, imagemagick and wine64 (scripts/setup.sh) and
# root (Dante checks the login against a system account it creates). Every wait is bounded;
# everything started here is stopped on every path.
set -euo pipefail

if [ $# -ne 3 ]; then
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
exe=$(realpath "$1")
drive_exe=$(realpath "$2")
run_exe=$(realpath "$3")
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
for tool in xrdp xfreerdp /usr/sbin/danted Xvfb xdotool import convert identify python3; do
  command -v "$tool" >/dev/null || {
    echo "rdp: missing $tool (run scripts/setup.sh)" >&2
    exit 1
  }
done

readonly USER_NAME=quillanrdp
readonly USER_PASSWORD='Rdp p@ss:#50%!x'
# The colours xrdp's own login screen is drawn in (its xrdp.ini): background and dialog.
readonly SCREEN_BACKGROUND=009CB5 DIALOG_BACKGROUND=DEDEDE

work=$(mktemp -d /tmp/quillan-rdp.XXXXXX)
# shellcheck source=scripts/lib.sh
source "$repo/scripts/lib.sh"
QUILLAN_WORK=$work
say() { printf 'rdp: %s\n' "$*"; }
fail() {
  printf 'rdp: FAILED: %s\n' "$*" >&2
  for log in "$work"/*.log; do
    [ -s "$log" ] && { echo "---- $(basename "$log") (last lines)"; tail -n 15 "$log" | tr -d '\r'; } >&2
  done
  exit 1
}

cleanup() {
  local status=$?
  set +e
  stop_groups
  [ -n "${WINEPREFIX:-}" ] && wine_env_stop "$WINEPREFIX" >/dev/null 2>&1
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start() {  # name command...: in its own process group, output in $work/name.log
  start_group "$@"
  last_pid=$started_pid
}
# Bindable again as a server would bind it (SO_REUSEADDR: connections left in TIME_WAIT do not
# hold a port, a listener does).
port_free() {
  python3 - "$1" <<'PY'
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
except OSError:
    sys.exit(1)
PY
}
wait_for() {  # seconds description command...: polls every 0.2 s
  local limit=$1 what=$2
  shift 2
  local tries=$((limit * 5))
  for _ in $(seq 1 "$tries"); do
    "$@" && return 0
    sleep 0.2
  done
  fail "no $what within ${limit} s"
}
log_has() { grep -qF -- "$2" "$1" 2>/dev/null; }
count_in_log() { grep -cF -- "$2" "$1" 2>/dev/null || true; }

# ---- the display: the Wine desktop (1024x768) at the left, room for the client beside it -------
# shellcheck source=scripts/wine-env.sh
source "$repo/scripts/wine-env.sh"
QUILLAN_WINE_SCREEN=1850x800x24 wine_env_start 2>"$work/wine-env.log" || fail "the Wine rig did not start"

# ---- the RDP server: xrdp with a private copy of its configuration ---------------------------
rdp_port=$(free_port)
sed -e "s|^port=.*|port=tcp://127.0.0.1:$rdp_port|" -e "s|^LogFile=.*|LogFile=$work/xrdp-server.log|" \
  -e 's|^EnableSyslog=.*|EnableSyslog=false|' /etc/xrdp/xrdp.ini >"$work/xrdp.ini"
start xrdp xrdp --nodaemon --config "$work/xrdp.ini"
wait_for 10 "xrdp listening on $rdp_port" listening "$rdp_port"

# ---- the proxy: Dante with username/password against a system account ------------------------
dante_port=$(free_port)
start_dante danted "$dante_port" "$USER_NAME" "$USER_PASSWORD" ||
  fail "cannot set up Dante with the system account $USER_NAME (run as root)"
wait_for 10 "Dante listening on $dante_port" listening "$dante_port"
say "xrdp on 127.0.0.1:$rdp_port, Dante (login $USER_NAME) on 127.0.0.1:$dante_port, DISPLAY=$DISPLAY"

# ---- the client and what it must show --------------------------------------------------------

# The client window's pixels: 800x600, not one flat colour, mostly the login screen's background
# with the login dialog on it.
login_screen_shown() {  # window id
  import -window "$1" "$work/client.png" 2>/dev/null || return 1
  local size
  size=$(identify -format '%w %h' "$work/client.png" 2>/dev/null) || return 1
  convert "$work/client.png" -format '%c' histogram:info:- 2>/dev/null | awk \
    -v background="$SCREEN_BACKGROUND" -v dialog="$DIALOG_BACKGROUND" -v size="$size" '
      BEGIN { split(size, wh, " "); width = wh[1]; height = wh[2] }
      {
        count = $1 + 0; colours++; total += count
        if (index($0, "#" background)) back = count
        if (index($0, "#" dialog)) box = count
      }
      END {
        printf "client window %dx%d: %d colours, background %.0f%%, dialog %.0f%%\n",
          width, height, colours, 100 * back / total, 100 * box / total > "/dev/stderr"
        exit !(width == 800 && height == 600 && colours >= 8 && back >= 0.3 * total && box >= 0.1 * total)
      }' 2>"$work/pixels.txt"
}

# rdp_session NAME LOCAL_PORT: connects xfreerdp and checks the login screen arrives; sets client_pid.
rdp_session() {
  local name=$1 port=$2 before window=
  before=$(count_in_log "$work/xrdp-server.log" "TLS connection established from 127.0.0.1")
  start "xfreerdp-$name" timeout 120 xfreerdp "/v:127.0.0.1:$port" /cert:ignore /size:800x600
  client_pid=$last_pid
  tls_started() {
    [ "$(count_in_log "$work/xrdp-server.log" "TLS connection established from 127.0.0.1")" -gt "$before" ]
  }
  wait_for 30 "TLS start in the server's log ($name)" tls_started
  find_window() {
    window=$(xdotool search --name "^FreeRDP: 127\.0\.0\.1:$port\$" 2>/dev/null | head -n 1)
    [ -n "$window" ]
  }
  wait_for 20 "client window ($name)" find_window
  # Beside the Wine desktop, so nothing covers it.
  xdotool windowmove "$window" 1040 0 2>/dev/null || true
  wait_for 30 "login screen in the client window ($name)" login_screen_shown "$window"
  cp "$work/client.png" "$work/client-$name.png"
  say "$name: login screen received: $(cat "$work/pixels.txt")"
}

# After a stop: the client notices the end of the session and the local port is free again.
session_ended() {  # name local_port
  local name=$1 port=$2
  client_gone() { ! kill -0 "$client_pid" 2>/dev/null; }
  wait_for 20 "end of the client after Stop ($name)" client_gone
  wait_for 10 "free local port $port after Stop ($name)" port_free "$port"
  say "$name: after Stop the client ended and 127.0.0.1:$port is free"
}

# ---- 1: quillan.exe under wine64, through its window -----------------------------------------
drive() { "$WINE_BIN" "$drive_exe" "$@" </dev/null; }
local_port=$(free_port)
"$WINE_BIN" reg delete 'HKCU\Software\Varnholt Software\Quillan' /f </dev/null >/dev/null 2>&1 || true
start quillan "$WINE_BIN" "$exe"
quillan_pid=$last_pid
drive wait >/dev/null || fail "the Quillan window did not appear"
fields=(local-port "$local_port" target 127.0.0.1 target-port "$rdp_port" proxy 127.0.0.1
  proxy-port "$dante_port" user "$USER_NAME" password "$USER_PASSWORD")
for ((i = 0; i < ${#fields[@]}; i += 2)); do
  drive set "${fields[i]}" "${fields[i + 1]}" || fail "setting field ${fields[i]}"
done
[ "$(drive text password | tr -d '\r')" = "$USER_PASSWORD" ] || fail "the password field does not hold the password"
drive click start || fail "Start could not be pressed"
drive wait-enabled stop 30000 || fail "the tunnel did not start: $(drive box 2>/dev/null | tr -d '\r')"
say "window: Start pressed, the tunnel is on at 127.0.0.1:$local_port"
rdp_session window "$local_port"
log_has "$work/quillan.log" "Starting data transfer" || fail "quillan.exe logged no relayed connection"
drive click stop || fail "Stop could not be pressed"
drive wait-enabled start 15000 || fail "Start did not come back after Stop"
session_ended window "$local_port"
drive click close || fail "Close could not be pressed"
quillan_gone() { ! kill -0 "$quillan_pid" 2>/dev/null; }
wait_for 15 "end of quillan.exe after Close" quillan_gone

# ---- 2: the headless runner ------------------------------------------------------------------
local_port=$(free_port)
start quillan-run "$run_exe" --local-port "$local_port" --target 127.0.0.1 --target-port "$rdp_port" \
  --proxy 127.0.0.1 --proxy-port "$dante_port" --user "$USER_NAME" --password "$USER_PASSWORD"
run_pid=$last_pid
wait_for 20 "quillan-run accepting" log_has "$work/quillan-run.log" "Waiting for local incoming connection."
say "quillan-run: the tunnel is on at 127.0.0.1:$local_port"
rdp_session quillan-run "$local_port"
log_has "$work/quillan-run.log" "Starting data transfer" || fail "quillan-run logged no relayed connection"
kill -TERM "$run_pid"
run_ended() { ! kill -0 "$run_pid" 2>/dev/null; }
wait_for 15 "end of quillan-run after SIGTERM" run_ended
run_status=0
wait "$run_pid" || run_status=$?
[ "$run_status" -eq 0 ] || fail "quillan-run ended with $run_status after SIGTERM"
session_ended quillan-run "$local_port"

say "PASSED: a Remote Desktop login screen crossed the tunnel through quillan.exe (window) and quillan-run"

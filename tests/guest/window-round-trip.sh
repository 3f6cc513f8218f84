#!/usr/bin/env bash
# The program as users get it, driven through its window: fill in the fields, Start through Dante
# with a login to a loopback echo server, send bytes through the tunnel and check every one comes
# back, Stop (the local port is free again), Close; quillan.exe must then exit with status 0.
#
#   tests/guest/window-round-trip.sh QUILLAN_EXE QUILLAN_DRIVE_EXE
#
# Runs inside a started Wine rig (scripts/wine-env.sh: WINEPREFIX, DISPLAY exported) with the
# peers of tests/peers/peers.sh up. Every wait is bounded; what it starts it stops by its id.
set -euo pipefail
exe=$1 drive_exe=$2
WINE_BIN=${WINE_BIN:-/usr/lib/wine/wine64}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# Dante with a login, as tests/peers/peers.sh starts it without a base (guest-job.sh gives none).
readonly DANTE_AUTH_PORT=21081 PEER_USER=quillanpeer PEER_PASSWORD=Qp-peer-7351

QUILLAN_WORK=$(mktemp -d /tmp/quillan-round-trip.XXXXXX)
# shellcheck source=scripts/lib.sh
source "$repo/scripts/lib.sh"
quillan_pid=
cleanup() {
  local status=$?
  set +e
  [ -n "$quillan_pid" ] && kill "$quillan_pid" 2>/dev/null
  stop_groups
  rm -rf "$QUILLAN_WORK"
  exit $status
}
trap cleanup EXIT
say() { echo "round trip: $*"; }
fail() {
  say "FAILED: $*"
  tail -n 20 "$QUILLAN_WORK"/*.log 2>/dev/null | tr -d '\r'
  exit 1
}
drive() { "$WINE_BIN" "$drive_exe" "$@" </dev/null; }

# The target: echoes whatever each connection sends.
target_port=$(free_port)
start_group echo python3 -c '
import socket, sys, threading
server = socket.create_server(("127.0.0.1", int(sys.argv[1])))
def echo(connection):
    with connection:
        while data := connection.recv(65536):
            connection.sendall(data)
while True:
    threading.Thread(target=echo, args=(server.accept()[0],), daemon=True).start()
' "$target_port"
wait_listening "$target_port" || fail "the echo server did not start"

"$WINE_BIN" reg delete 'HKCU\Software\Varnholt Software\Quillan' /f </dev/null >/dev/null 2>&1 || true
"$WINE_BIN" "$exe" </dev/null >"$QUILLAN_WORK/quillan.log" 2>&1 &
quillan_pid=$!
drive wait >/dev/null || fail "the window did not appear"
local_port=$(free_port)
fields=(local-port "$local_port" target 127.0.0.1 target-port "$target_port" proxy 127.0.0.1
  proxy-port "$DANTE_AUTH_PORT" user "$PEER_USER" password "$PEER_PASSWORD")
for ((i = 0; i < ${#fields[@]}; i += 2)); do
  drive set "${fields[i]}" "${fields[i + 1]}" || fail "setting field ${fields[i]}"
done
drive click start || fail "Start could not be pressed"
drive wait-enabled stop 30000 || fail "the tunnel did not start: $(drive box 2>/dev/null | tr -d '\r')"
say "Start pressed: the tunnel is on at 127.0.0.1:$local_port"

python3 - "$local_port" <<'PY' || fail "the bytes did not come back whole"
import os, socket, sys, threading
data = os.urandom(1 << 20)
with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=60) as s:
    # Sent from a thread while this one reads: the buffers on the way need not hold it all.
    threading.Thread(target=s.sendall, args=(data,), daemon=True).start()
    back = bytearray()
    while len(back) < len(data) and (chunk := s.recv(65536)):
        back += chunk
if back != data:
    sys.exit(f"{len(back)} bytes came back, {len(data)} sent, equal: {bytes(back) == data}")
print(f"round trip: {len(data)} bytes through the tunnel and back")
PY
grep -q "Starting data transfer" "$QUILLAN_WORK/quillan.log" || fail "quillan.exe logged no relayed connection"

drive click stop || fail "Stop could not be pressed"
drive wait-enabled start 15000 || fail "Start did not come back after Stop"
python3 -c 'import socket, sys; socket.create_server(("127.0.0.1", int(sys.argv[1])))' "$local_port" ||
  fail "127.0.0.1:$local_port is still taken after Stop"
say "Stop pressed: 127.0.0.1:$local_port is free again"

drive click close || fail "Close could not be pressed"
for _ in $(seq 1 100); do
  kill -0 "$quillan_pid" 2>/dev/null || break
  sleep 0.2
done
kill -0 "$quillan_pid" 2>/dev/null && fail "quillan.exe still runs 20 s after Close"
status=0
wait "$quillan_pid" || status=$?
quillan_pid=
[ "$status" -eq 0 ] || fail "quillan.exe exited with $status after Close"
say "PASSED: Close ended quillan.exe with exit status 0"

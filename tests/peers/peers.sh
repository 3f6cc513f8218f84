#!/bin/bash
# Starts or stops the real SOCKS5 servers the tests talk to, all on loopback:
#   127.0.0.1:21080  Dante, no authentication
#   127.0.0.1:21081  Dante, username/password (checked against the system account below)
#   127.0.0.1:21082  microsocks, no authentication
#   127.0.0.1:21083  microsocks, username/password
# Several test runs (native, sanitizers, wine) may use them at once, so start/stop keep a
# count of users under a lock: the first start launches the servers, the last stop ends them.
# Usage: peers.sh start|stop|status     (state in $QUILLAN_PEERS_DIR, default /tmp/quillan-peers)
set -u

readonly STATE=${QUILLAN_PEERS_DIR:-/tmp/quillan-peers}
readonly USER_NAME=quillanpeer
readonly USER_PASSWORD=Qp-peer-7351
readonly DANTE_PORT=21080 DANTE_AUTH_PORT=21081 MICROSOCKS_PORT=21082 MICROSOCKS_AUTH_PORT=21083
readonly PORTS="$DANTE_PORT $DANTE_AUTH_PORT $MICROSOCKS_PORT $MICROSOCKS_AUTH_PORT"
readonly MICROSOCKS=${MICROSOCKS:-$(command -v microsocks || echo /usr/bin/microsocks)}

mkdir -p "$STATE"
exec 9>"$STATE/lock"
flock -w 60 9 || { echo "peers: lock busy" >&2; exit 1; }

# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"
QUILLAN_WORK=$STATE

alive() {  # pid file
  [[ -s $1 ]] && kill -0 "$(cat "$1")" 2>/dev/null
}

all_running() {
  local name port
  for name in dante dante-auth microsocks microsocks-auth; do alive "$STATE/$name.pid" || return 1; done
  for port in $PORTS; do listening "$port" || return 1; done
}

# The servers outlive this script: their process ids are kept in files.
keep_pid() {  # name
  echo "$started_pid" >"$STATE/$1.pid"
}

stop_daemon() {  # name
  local file="$STATE/$1.pid"
  [[ -s $file ]] && stop_group "$(cat "$file")"
  rm -f "$file"
}

stop_all() {
  local name
  for name in dante dante-auth microsocks microsocks-auth; do stop_daemon "$name"; done
}

users() {
  cat "$STATE/users" 2>/dev/null || echo 0
}

start() {
  if all_running; then
    echo $(($(users) + 1)) >"$STATE/users"
    echo "peers: already running (users: $(users))"
    return 0
  fi
  stop_all  # whatever is left of an earlier run
  start_dante dante "$DANTE_PORT" && keep_pid dante &&
    start_dante dante-auth "$DANTE_AUTH_PORT" "$USER_NAME" "$USER_PASSWORD" && keep_pid dante-auth ||
    { echo "peers: cannot start Dante (user $USER_NAME needs root)" >&2; stop_all; return 1; }
  start_group microsocks "$MICROSOCKS" -i 127.0.0.1 -p "$MICROSOCKS_PORT" && keep_pid microsocks
  start_group microsocks-auth "$MICROSOCKS" -i 127.0.0.1 -p "$MICROSOCKS_AUTH_PORT" \
    -u "$USER_NAME" -P "$USER_PASSWORD" && keep_pid microsocks-auth
  local port failed=0
  for port in $PORTS; do
    wait_listening "$port" || { echo "peers: nothing listens on 127.0.0.1:$port" >&2; failed=1; }
  done
  if ((failed)); then
    tail -n 5 "$STATE"/*.log >&2 2>/dev/null
    stop_all
    return 1
  fi
  echo 1 >"$STATE/users"
  echo "peers: started on $PORTS"
}

stop() {
  local left=$(($(users) - 1))
  if ((left > 0)); then
    echo "$left" >"$STATE/users"
    echo "peers: still in use (users: $left)"
    return 0
  fi
  stop_all
  echo 0 >"$STATE/users"
  echo "peers: stopped"
}

case ${1:-} in
  start) start ;;
  stop) stop ;;
  status) all_running && echo "running (users: $(users))" || { echo "not running"; exit 1; } ;;
  *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac

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
readonly DANTED=${DANTED:-/usr/sbin/danted}
readonly MICROSOCKS=${MICROSOCKS:-$(command -v microsocks || echo /usr/bin/microsocks)}

mkdir -p "$STATE"
exec 9>"$STATE/lock"
flock -w 60 9 || { echo "peers: lock busy" >&2; exit 1; }

listening() {  # port
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

wait_listening() {  # port, up to 10 s
  local i
  for ((i = 0; i < 100; i++)); do
    listening "$1" && return 0
    sleep 0.1
  done
  echo "peers: nothing listens on 127.0.0.1:$1" >&2
  return 1
}

alive() {  # pid file
  [[ -s $1 ]] && kill -0 "$(cat "$1")" 2>/dev/null
}

all_running() {
  local name port
  for name in dante dante-auth microsocks microsocks-auth; do alive "$STATE/$name.pid" || return 1; done
  for port in $PORTS; do listening "$port" || return 1; done
}

write_dante_config() {  # file port method
  cat >"$1" <<CONF
logoutput: $STATE/${3}-danted.log
internal: 127.0.0.1 port = $2
external: 127.0.0.1
clientmethod: none
socksmethod: $3
user.privileged: root
user.unprivileged: nobody
client pass {
  from: 127.0.0.0/8 to: 0.0.0.0/0
}
socks pass {
  from: 127.0.0.0/8 to: 0.0.0.0/0
  command: connect
}
CONF
}

ensure_user() {
  # Dante's username method checks the system's accounts.
  if ! id "$USER_NAME" >/dev/null 2>&1; then
    useradd --no-create-home --shell /usr/sbin/nologin "$USER_NAME" || return 1
  fi
  echo "$USER_NAME:$USER_PASSWORD" | chpasswd
}

start_daemon() {  # name command...
  local name=$1
  shift
  # fd 9 is the lock: the servers must not keep it.
  setsid "$@" >"$STATE/$name.out" 2>&1 </dev/null 9>&- &
  echo $! >"$STATE/$name.pid"
}

stop_daemon() {  # name
  local file="$STATE/$1.pid" pid i
  [[ -s $file ]] || return 0
  pid=$(cat "$file")
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 50; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null
  fi
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
  ensure_user || { echo "peers: cannot set up user $USER_NAME" >&2; return 1; }
  write_dante_config "$STATE/dante.conf" "$DANTE_PORT" none
  write_dante_config "$STATE/dante-auth.conf" "$DANTE_AUTH_PORT" username
  # -N 1: one request-handling process is plenty for the tests.
  start_daemon dante "$DANTED" -f "$STATE/dante.conf" -N 1
  start_daemon dante-auth "$DANTED" -f "$STATE/dante-auth.conf" -N 1
  start_daemon microsocks "$MICROSOCKS" -i 127.0.0.1 -p "$MICROSOCKS_PORT"
  start_daemon microsocks-auth "$MICROSOCKS" -i 127.0.0.1 -p "$MICROSOCKS_AUTH_PORT" \
    -u "$USER_NAME" -P "$USER_PASSWORD"
  local port failed=0
  for port in $PORTS; do wait_listening "$port" || failed=1; done
  if ((failed)); then
    tail -n 5 "$STATE"/*.out "$STATE"/*-danted.log >&2 2>/dev/null
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

#!/bin/bash
# Starts or stops the real SOCKS5 servers the tests talk to, all on loopback:
#   127.0.0.1:21080  Dante, no authentication
#   127.0.0.1:21081  Dante, username/password (checked against the system account below)
#   127.0.0.1:21082  microsocks, no authentication
#   127.0.0.1:21083  microsocks, username/password
#   127.0.0.1:21085  OpenSSH dynamic forwarding (ssh -N -D) through an sshd of its own on
#                    127.0.0.1:21084: its own configuration, host key and client key in the
#                    state folder; the client logs in as the user running this script
# Several test runs (native, sanitizers, wine) may use them at once, so start/stop keep a
# count of users under a lock: the first start launches the servers, the last stop ends them.
# Usage: peers.sh start|stop|status     (state in $QUILLAN_PEERS_DIR, default /tmp/quillan-peers)
set -u

readonly STATE=${QUILLAN_PEERS_DIR:-/tmp/quillan-peers}
readonly USER_NAME=quillanpeer
readonly USER_PASSWORD=Qp-peer-7351
readonly DANTE_PORT=21080 DANTE_AUTH_PORT=21081 MICROSOCKS_PORT=21082 MICROSOCKS_AUTH_PORT=21083
readonly SSHD_PORT=21084 SSH_SOCKS_PORT=21085
readonly PORTS="$DANTE_PORT $DANTE_AUTH_PORT $MICROSOCKS_PORT $MICROSOCKS_AUTH_PORT $SSHD_PORT $SSH_SOCKS_PORT"
readonly NAMES="dante dante-auth microsocks microsocks-auth sshd ssh-socks"
readonly MICROSOCKS=${MICROSOCKS:-$(command -v microsocks || echo /usr/bin/microsocks)}
readonly SSHD=${SSHD:-/usr/sbin/sshd}  # sshd wants an absolute path

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
  for name in $NAMES; do alive "$STATE/$name.pid" || return 1; done
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

stop_all() {  # all at once: each may take a while to go
  local name
  for name in $NAMES; do stop_daemon "$name" & done
  wait
}

# sshd on 127.0.0.1:$SSHD_PORT from a configuration of its own (nothing of the system's sshd is
# read or changed), then `ssh -N -D` to it with a key made here: the SOCKS5 server many users run.
start_ssh() {
  local dir=$STATE/ssh user
  user=$(id -un)
  rm -rf "$dir"
  mkdir -p "$dir" &&
    ssh-keygen -q -t ed25519 -N '' -C quillan-peer-host -f "$dir/host_key" &&
    ssh-keygen -q -t ed25519 -N '' -C quillan-peer-client -f "$dir/client_key" &&
    cp "$dir/client_key.pub" "$dir/authorized_keys" || return 1
  # The privilege-separation folder sshd insists on (made by the system's service otherwise).
  if [ "$(id -u)" -eq 0 ] && [ ! -d /run/sshd ]; then mkdir -m 0755 /run/sshd || return 1; fi
  cat >"$dir/sshd_config" <<CONF
ListenAddress 127.0.0.1:$SSHD_PORT
HostKey $dir/host_key
PidFile none
AuthorizedKeysFile $dir/authorized_keys
AllowUsers $user
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
AllowTcpForwarding local
PermitTTY no
X11Forwarding no
UseDNS no
CONF
  start_group sshd "$SSHD" -D -e -f "$dir/sshd_config" && keep_pid sshd || return 1
  wait_listening "$SSHD_PORT" || return 1
  start_group ssh-socks ssh -N -D "127.0.0.1:$SSH_SOCKS_PORT" -p "$SSHD_PORT" -F /dev/null \
    -i "$dir/client_key" -o IdentitiesOnly=yes -o BatchMode=yes -o UserKnownHostsFile=/dev/null \
    -o StrictHostKeyChecking=no -o ExitOnForwardFailure=yes -o LogLevel=ERROR \
    "$user@127.0.0.1" && keep_pid ssh-socks
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
  start_ssh || echo "peers: cannot start sshd and ssh -D (needs openssh-server, openssh-client)" >&2
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

#!/bin/bash
# Starts or stops the real SOCKS5 servers the tests talk to, all on loopback, on six ports from
# BASE ($QUILLAN_PEER_BASE_PORT, default 21080; ctest gives each build tree its own):
#   127.0.0.1:BASE     Dante, no authentication
#   127.0.0.1:BASE+1   Dante, username/password (checked against the system account below)
#   127.0.0.1:BASE+2   microsocks, no authentication
#   127.0.0.1:BASE+3   microsocks, username/password
#   127.0.0.1:BASE+5   OpenSSH dynamic forwarding (ssh -N -D) through an sshd of its own on
#                      127.0.0.1:BASE+4: its own configuration, host key and client key in the
#                      state folder; the client logs in as the user running this script
# Each base has its own state folder, so runs on other bases never count or stop these servers.
# Runs on one base (one tree tested twice, or peers started by hand) share them: start/stop keep
# a count of users under a lock, the first start launches the servers, the last stop ends them.
# Usage: peers.sh start|stop|status   (state in $QUILLAN_PEERS_DIR, default /tmp/quillan-peers,
#                                       or /tmp/quillan-peers-BASE for a base other than 21080)
set -u

readonly BASE=${QUILLAN_PEER_BASE_PORT:-21080}
if ! [[ $BASE =~ ^[1-9][0-9]{3,4}$ ]] || ((BASE < 1024 || BASE > 65530)); then
  echo "peers: QUILLAN_PEER_BASE_PORT must be a port from 1024 to 65530, not '$BASE'" >&2
  exit 2
fi
default_state=/tmp/quillan-peers
((BASE == 21080)) || default_state+=-$BASE
readonly STATE=${QUILLAN_PEERS_DIR:-$default_state}
readonly USER_NAME=quillanpeer
readonly USER_PASSWORD=Qp-peer-7351
readonly DANTE_PORT=$BASE DANTE_AUTH_PORT=$((BASE + 1)) MICROSOCKS_PORT=$((BASE + 2))
readonly MICROSOCKS_AUTH_PORT=$((BASE + 3)) SSHD_PORT=$((BASE + 4)) SSH_SOCKS_PORT=$((BASE + 5))
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
  # Peers on another base may be making it at this moment.
  if [ "$(id -u)" -eq 0 ] && [ ! -d /run/sshd ]; then
    mkdir -m 0755 /run/sshd || [ -d /run/sshd ] || return 1
  fi
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
  # A port still taken (after a moment for what stop_all ended) is another program's: tests must
  # not talk to it as if it were our peer.
  local port tries=20
  for port in $PORTS; do
    while listening "$port" && ((tries-- > 0)); do sleep 0.1; done
    if listening "$port"; then
      echo "peers: 127.0.0.1:$port is taken by another program; choose another base" \
        "(QUILLAN_PEER_BASE_PORT, or the CMake cache variable of that name for ctest)" >&2
      return 1
    fi
  done
  start_dante dante "$DANTE_PORT" && keep_pid dante &&
    start_dante dante-auth "$DANTE_AUTH_PORT" "$USER_NAME" "$USER_PASSWORD" && keep_pid dante-auth ||
    { echo "peers: cannot start Dante (user $USER_NAME needs root)" >&2; stop_all; return 1; }
  start_group microsocks "$MICROSOCKS" -i 127.0.0.1 -p "$MICROSOCKS_PORT" && keep_pid microsocks
  start_group microsocks-auth "$MICROSOCKS" -i 127.0.0.1 -p "$MICROSOCKS_AUTH_PORT" \
    -u "$USER_NAME" -P "$USER_PASSWORD" && keep_pid microsocks-auth
  start_ssh || echo "peers: cannot start sshd and ssh -D (needs openssh-server, openssh-client)" >&2
  local failed=0
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

# Shared by the scripts that start peers on loopback (sourced): ports, process groups, Dante.
# Processes go to $QUILLAN_WORK (logs, configurations), which the caller sets first; every
# process started with start_group is in started_groups for stop_groups.

started_groups=()

listening() {  # port: something accepts on 127.0.0.1:port
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

wait_listening() {  # port [seconds, default 10]: polls every 0.1 s
  local tries=$((${2:-10} * 10))
  while ((tries-- > 0)); do
    listening "$1" && return 0
    sleep 0.1
  done
  return 1
}

free_port() {  # a port the kernel hands out now
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_group NAME COMMAND...: in a process group of its own (whatever it forks stops with it),
# output in $QUILLAN_WORK/NAME.log; sets started_pid. fd 9 (a caller's lock) is not passed on.
start_group() {
  local name=$1
  shift
  setsid "$@" >"$QUILLAN_WORK/$name.log" 2>&1 </dev/null 9>&- &
  started_pid=$!
  started_groups+=("$started_pid")
}

stop_group() {  # pid [seconds, default 5]: TERM its group (or the process alone), KILL when late
  local pid=$1 tries=$((${2:-5} * 10))
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || return 0
  while ((tries-- > 0)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
}

stop_groups() {  # every group started here, all at once: TERM, up to 5 s, then KILL
  local pid tries=50 left
  for pid in "${started_groups[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  while ((tries-- > 0)); do
    left=0
    for pid in "${started_groups[@]}"; do kill -0 -- "-$pid" 2>/dev/null && left=1; done
    ((left)) || break
    sleep 0.1
  done
  for pid in "${started_groups[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  started_groups=()
}

# start_dante NAME PORT [USER PASSWORD]: Dante on 127.0.0.1:PORT, connecting out from 127.0.0.1,
# asking for USER's login when one is given (checked against a system account, which is created
# or given PASSWORD here: needs root). Configuration and log in $QUILLAN_WORK/NAME.*; sets
# started_pid. Does not wait for the port.
start_dante() {
  local name=$1 port=$2 user=${3:-} password=${4:-} method=none
  if [ -n "$user" ]; then
    method=username
    # Peers of other test runs may be adding it at this moment.
    if ! id "$user" >/dev/null 2>&1; then
      useradd --no-create-home --shell /usr/sbin/nologin "$user" || id "$user" >/dev/null 2>&1 ||
        return 1
    fi
    printf '%s:%s\n' "$user" "$password" | chpasswd || return 1
  fi
  cat >"$QUILLAN_WORK/$name.conf" <<CONF
logoutput: $QUILLAN_WORK/$name.danted.log
internal: 127.0.0.1 port = $port
external: 127.0.0.1
clientmethod: none
socksmethod: $method
user.privileged: root
user.unprivileged: nobody
client pass {
  from: 127.0.0.0/8 to: 0.0.0.0/0
  log: error
}
socks pass {
  from: 127.0.0.0/8 to: 0.0.0.0/0
  command: connect
  log: error
}
CONF
  # -N 1: one request-handling process is plenty on loopback.
  start_group "$name" "${DANTED:-/usr/sbin/danted}" -f "$QUILLAN_WORK/$name.conf" \
    -p "$QUILLAN_WORK/$name.danted.pid" -N 1
}

#!/bin/bash
# The relay benchmark in one command: starts Dante (no authentication, and username/password),
# the loopback target and the forwarders, measures each of them and the floor (the client
# speaking SOCKS5 to Dante itself) round after round, the order rotated every round, and prints
# the tables. The Windows build (quillan-run.exe) and the reference relay ref-relay.exe run under
# wine64 in one prefix of the Wine rig (scripts/wine-env.sh) and get a table of their own.
# Everything runs on 127.0.0.1 and everything started here is stopped on exit.
#
# Usage: bench/run.sh [--rounds N] [--build-dir DIR] [--win-build-dir DIR] [--only NAME,...]
#                     [--no-wine] [--quick] [--keep] [--tests T,..]
#   --rounds N      rounds (default 3; the README table uses 5 or more)
#   --build-dir D   where quillan-run and quillan-bench are built (default build/bench, the
#                   native preset: RelWithDebInfo, -O2)
#   --win-build-dir D  where quillan-run.exe and ref-relay.exe are built (default
#                   build/bench-windows-x64, the windows-x64 preset: RelWithDebInfo, -O2, static)
#   --only A,B      measure only these forwarders (names as in the tables: quillan-run,
#                   quillan-run+log, v2ray, proxychains-socat, socat-nc, floor, quillan-run.exe,
#                   ref-relay.exe)
#   --no-wine       leave out the Windows build (no Wine rig)
#   --quick         small sizes (64 MiB streams, 1000 round trips, 100 setups, 50 x 4 MiB echo,
#                   10 s idle) to check the set-up, not to report
#   --keep          keep the work directory (logs, configs, raw results)
#   --tests T,..    run only these tests: up,down,rtt,setup,echo,idle (default all; idle only
#                   for quillan-run, quillan-run.exe and ref-relay.exe)
set -u
set -o pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS=3
BUILD=$ROOT/build/bench
WIN_BUILD=$ROOT/build/bench-windows-x64
ONLY=""
WINE=1
QUICK=0
KEEP=0
TESTS=up,down,rtt,setup,echo,idle
while (($#)); do
  case $1 in
    --rounds) ROUNDS=$2; shift 2 ;;
    --build-dir) BUILD=$2; shift 2 ;;
    --win-build-dir) WIN_BUILD=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --no-wine) WINE=0; shift ;;
    --quick) QUICK=1; shift ;;
    --keep) KEEP=1; shift ;;
    --tests) TESTS=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--build-dir DIR] [--win-build-dir DIR] [--only A,B] [--no-wine]" \
      "[--quick] [--keep] [--tests T,..]" >&2
      exit 2 ;;
  esac
done
[[ $ROUNDS =~ ^[1-9][0-9]?$ ]] || { echo "run.sh: --rounds takes 1..99" >&2; exit 2; }

# Ports, all on 127.0.0.1.
readonly HOST=127.0.0.1
readonly DANTE_PORT=31080 DANTE_AUTH_PORT=31081 TARGET_PORT=31090
readonly QUILLAN_PORT=31101 V2RAY_PORT=31102 PROXYCHAINS_PORT=31103 SOCAT_NC_PORT=31104
readonly QUILLAN_LOG_PORT=31105
readonly QUILLAN_AUTH_PORT=31111
readonly QUILLAN_EXE_PORT=31121 REF_RELAY_PORT=31122
readonly BENCH_USER=quillanbench BENCH_PASSWORD=Qb-bench-2291

WORK=$(mktemp -d /tmp/quillan-bench.XXXXXX)
RESULTS=$WORK/results.txt
# shellcheck source=scripts/lib.sh
source "$ROOT/scripts/lib.sh"
QUILLAN_WORK=$WORK

log() { echo "[$(date -u +%H:%M:%S)] $*" >&2; }

WINE_STARTED=0
cleanup() {
  # Every service was started with setsid: its process group holds everything it forked
  # (Dante's children, socat's per-connection children and their nc). The programs under Wine
  # go first, then the rig: its server, desktop, Xvfb and prefix.
  stop_groups
  ((WINE_STARTED)) && wine_env_stop "$WINEPREFIX"
  if ((KEEP)); then log "work directory kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_port() {  # port name: up to 15 s
  wait_listening "$1" 15 && return 0
  log "$2: nothing listens on $HOST:$1 (log: $WORK/$2.log)"
  tail -5 "$WORK/$2.log" >&2
  return 1
}

start() {  # name command... ; sets STARTED_PID
  start_group "$@"
  STARTED_PID=$started_pid
}

for port in $DANTE_PORT $DANTE_AUTH_PORT $TARGET_PORT $QUILLAN_PORT $V2RAY_PORT $PROXYCHAINS_PORT \
  $SOCAT_NC_PORT $QUILLAN_LOG_PORT $QUILLAN_AUTH_PORT $QUILLAN_EXE_PORT $REF_RELAY_PORT; do
  if listening "$port"; then log "port $port is in use; is another benchmark running?"; exit 1; fi
done

# --- build -------------------------------------------------------------------------------------
log "building quillan-run and quillan-bench in $BUILD"
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  cmake --preset native -S "$ROOT" -B "$BUILD" -DBUILD_TESTING=OFF >"$WORK/cmake.log" 2>&1 ||
    { tail -20 "$WORK/cmake.log" >&2; exit 1; }
fi
cmake --build "$BUILD" -j2 --target quillan-bench >"$WORK/build.log" 2>&1 ||
  { tail -20 "$WORK/build.log" >&2; exit 1; }
BENCH=$BUILD/bench/quillan-bench
QUILLAN_RUN=""
if cmake --build "$BUILD" -j2 --target quillan-run >>"$WORK/build.log" 2>&1; then
  QUILLAN_RUN=$(find "$BUILD" -type f -name quillan-run -perm -u+x | head -1)
fi
[[ -n $QUILLAN_RUN ]] || log "quillan-run did not build: measuring the peers and the floor only"

wanted() { [[ -z $ONLY ]] || [[ ,$ONLY, == *,$1,* ]]; }
# The Windows build: only when one of its rows is wanted.
if ((WINE)) && ! wanted quillan-run.exe && ! wanted ref-relay.exe; then WINE=0; fi
if ((WINE)); then
  log "building quillan-run.exe and ref-relay.exe in $WIN_BUILD"
  if [[ ! -f $WIN_BUILD/CMakeCache.txt ]]; then
    cmake --preset windows-x64 -S "$ROOT" -B "$WIN_BUILD" -DBUILD_TESTING=OFF >"$WORK/cmake-win.log" 2>&1 ||
      { tail -20 "$WORK/cmake-win.log" >&2; exit 1; }
  fi
  cmake --build "$WIN_BUILD" -j2 --target quillan-run ref-relay >"$WORK/build-win.log" 2>&1 ||
    { tail -20 "$WORK/build-win.log" >&2; exit 1; }
  QUILLAN_EXE=$WIN_BUILD/tools/quillan-run.exe
  REF_RELAY_EXE=$WIN_BUILD/bench/ref-relay.exe
fi

# --- Dante, the target -------------------------------------------------------------------------
start_dante dante $DANTE_PORT || exit 1
start_dante dante-auth $DANTE_AUTH_PORT $BENCH_USER $BENCH_PASSWORD || exit 1
start target "$BENCH" target --listen $TARGET_PORT
wait_port $DANTE_PORT dante && wait_port $DANTE_AUTH_PORT dante-auth &&
  wait_port $TARGET_PORT target || exit 1

# --- the forwarders ----------------------------------------------------------------------------
declare -A FPID FPORT
NAMES=()       # the native rotation (with the floor last)
WINE_NAMES=()  # the Windows build's rotation

add_forwarder() {  # name port command... ; under Wine when the name ends in .exe
  local name=$1 port=$2
  shift 2
  wanted "$name" || return 0
  start "$name" "$@"
  FPID[$name]=$STARTED_PID
  FPORT[$name]=$port
  if [[ $name == *.exe ]]; then WINE_NAMES+=("$name"); else NAMES+=("$name"); fi
}

# quillan-run as the window runs with its log console closed (--no-log: every log line formatted,
# none written), and as it runs by default, writing every line to its output (+log).
if [[ -n $QUILLAN_RUN ]]; then
  add_forwarder quillan-run $QUILLAN_PORT "$QUILLAN_RUN" --no-log --local-port $QUILLAN_PORT \
    --target $HOST --target-port $TARGET_PORT --proxy $HOST --proxy-port $DANTE_PORT
  add_forwarder quillan-run+log $QUILLAN_LOG_PORT "$QUILLAN_RUN" --local-port $QUILLAN_LOG_PORT \
    --target $HOST --target-port $TARGET_PORT --proxy $HOST --proxy-port $DANTE_PORT
fi

cat >"$WORK/v2ray.json" <<JSON
{
  "log": {"loglevel": "warning"},
  "inbounds": [{
    "listen": "$HOST", "port": $V2RAY_PORT, "protocol": "dokodemo-door",
    "settings": {"address": "$HOST", "port": $TARGET_PORT, "network": "tcp"}
  }],
  "outbounds": [{
    "protocol": "socks",
    "settings": {"servers": [{"address": "$HOST", "port": $DANTE_PORT}]}
  }]
}
JSON
add_forwarder v2ray $V2RAY_PORT /usr/bin/v2ray -config "$WORK/v2ray.json"

cat >"$WORK/proxychains.conf" <<CONF
strict_chain
quiet_mode
tcp_read_time_out 15000
tcp_connect_time_out 8000
[ProxyList]
socks5 $HOST $DANTE_PORT
CONF
add_forwarder proxychains-socat $PROXYCHAINS_PORT /usr/bin/proxychains4 -q -f "$WORK/proxychains.conf" \
  /usr/bin/socat TCP-LISTEN:$PROXYCHAINS_PORT,bind=$HOST,fork,reuseaddr,backlog=1024 \
  TCP:$HOST:$TARGET_PORT

add_forwarder socat-nc $SOCAT_NC_PORT /usr/bin/socat \
  TCP-LISTEN:$SOCAT_NC_PORT,bind=$HOST,fork,reuseaddr,backlog=1024 \
  EXEC:"nc -X 5 -x $HOST\\:$DANTE_PORT $HOST $TARGET_PORT"

EXTRAS=()
if [[ -n $QUILLAN_RUN ]] && wanted quillan-run; then
  start quillan-run-auth "$QUILLAN_RUN" --no-log --local-port $QUILLAN_AUTH_PORT --target $HOST \
    --target-port $TARGET_PORT --proxy $HOST --proxy-port $DANTE_AUTH_PORT \
    --user $BENCH_USER --password $BENCH_PASSWORD
  FPID[quillan-run+login]=$STARTED_PID
  EXTRAS+=(quillan-run+login)
fi
wanted floor && EXTRAS+=(floor+login)

# The Windows build and the reference under wine64, one prefix for the whole run. Their CPU
# figures add the prefix's wineserver, which does part of the work of every socket call.
WINESERVER_PID=""
wineserver_pid() {  # the server of $WINEPREFIX: its working directory is server-<dev>-<inode>
  local device inode dir proc
  read -r device inode < <(stat -c '%d %i' "$WINEPREFIX")
  dir=$(printf 'server-%x-%x' "$device" "$inode")
  for proc in /proc/[0-9]*; do
    [[ $(cat "$proc/comm" 2>/dev/null) == wineserver* ]] || continue
    [[ $(readlink "$proc/cwd" 2>/dev/null) == */"$dir" ]] && { echo "${proc#/proc/}"; return 0; }
  done
  return 1
}
if ((WINE)); then
  # shellcheck source=scripts/wine-env.sh
  source "$ROOT/scripts/wine-env.sh"
  WINE_STARTED=1
  log "starting the Wine rig (log: $WORK/wine-env.log)"
  wine_env_start 2>"$WORK/wine-env.log" || { tail -5 "$WORK/wine-env.log" >&2; exit 1; }
  WINESERVER_PID=$(wineserver_pid) || { log "no wineserver found for $WINEPREFIX"; exit 1; }
  add_forwarder quillan-run.exe $QUILLAN_EXE_PORT "$WINE_BIN" "$QUILLAN_EXE" --no-log \
    --local-port $QUILLAN_EXE_PORT --target $HOST --target-port $TARGET_PORT --proxy $HOST \
    --proxy-port $DANTE_PORT
  add_forwarder ref-relay.exe $REF_RELAY_PORT "$WINE_BIN" "$REF_RELAY_EXE" \
    --local-port $REF_RELAY_PORT --target $HOST --target-port $TARGET_PORT --proxy $HOST \
    --proxy-port $DANTE_PORT
fi

for name in "${NAMES[@]}" "${WINE_NAMES[@]}"; do wait_port "${FPORT[$name]}" "$name" || exit 1; done
[[ -n ${FPID[quillan-run+login]:-} ]] && { wait_port $QUILLAN_AUTH_PORT quillan-run-auth || exit 1; }
wanted floor && NAMES+=(floor)

# --- rounds ------------------------------------------------------------------------------------
# Native: the defaults of quillan-bench measure (1 GiB streams, 5000 round trips, 500 setups,
# 200 x 32 MiB echo, 200 connections idle for 60 s). Under Wine a relay moves some 30-75 MB/s
# and sets up 60-130 connections/s here, so smaller streams and echoes keep a round of both
# Windows rows near 2-3 minutes (plus the idle minute of each).
SIZES=()
WINE_SIZES=(--stream-mib 512 --echo-mib 4)
if ((QUICK)); then
  SIZES=(--stream-mib 64 --rtt-count 1000 --setup-count 100 --echo-conns 50 --echo-mib 4 --idle-s 10)
  WINE_SIZES=("${SIZES[@]}")
fi
IDLE_NAMES=,quillan-run,quillan-run.exe,ref-relay.exe,

tests_of() {  # name -> the tests it runs: the idle test only for the rows that show it
  local tests=,$TESTS,
  [[ $IDLE_NAMES == *,$1,* ]] || tests=${tests//,idle,/,}
  tests=${tests#,}
  echo "${tests%,}"
}

route_of() {  # name -> the measure options that reach the target through it
  case $1 in
    floor) echo "--socks $DANTE_PORT" ;;
    floor+login) echo "--socks $DANTE_AUTH_PORT --user $BENCH_USER --password $BENCH_PASSWORD" ;;
    quillan-run+login) echo "--connect $QUILLAN_AUTH_PORT --pid ${FPID[$1]}" ;;
    *.exe) echo "--connect ${FPORT[$1]} --pid ${FPID[$1]} --cpu-pid $WINESERVER_PID" ;;
    *) echo "--connect ${FPORT[$1]} --pid ${FPID[$1]}" ;;
  esac
}

measure() {  # name round [extra options...]
  local name=$1 round=$2 sizes=("${SIZES[@]}")
  shift 2
  [[ $name == *.exe ]] && sizes=("${WINE_SIZES[@]}")
  echo "== $name, round $round" >>"$WORK/measure.log"
  # A round of one forwarder takes a few minutes at most; the bound only stops a hung run.
  # shellcheck disable=SC2046
  timeout -k 10 900 "$BENCH" measure --name "$name" --round "$round" --target $TARGET_PORT \
    $(route_of "$name") "${sizes[@]}" "$@" >>"$RESULTS" 2>>"$WORK/measure.log" ||
    log "$name round $round: a test did not complete (see $WORK/measure.log)"
  # Dead forwarders are reported once, not measured into zeros silently.
  if [[ $name != floor* ]] && ! kill -0 "${FPID[$name]}" 2>/dev/null; then
    log "$name (pid ${FPID[$name]}) is no longer running"
  fi
}

busy() {  # what else is using the CPU right now: the top commands by instantaneous %CPU
  top -b -n 1 -o %CPU 2>/dev/null | awk 'NR > 7 && $9 + 0 >= 5 { printf "%s %s%%, ", $12, $9 }' |
    head -c 300
}

log "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
log "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
log "forwarders: ${NAMES[*]}${WINE_NAMES[*]:+ ${WINE_NAMES[*]}}; rounds: $ROUNDS"
count=${#NAMES[@]}
wine_count=${#WINE_NAMES[@]}
for ((round = 1; round <= ROUNDS; round++)); do
  # Each rotation by one place a round: the native rows, then the Windows ones.
  order=()
  for ((i = 0; i < count; i++)); do order+=("${NAMES[$(((i + round - 1) % count))]}"); done
  for ((i = 0; i < wine_count; i++)); do order+=("${WINE_NAMES[$(((i + round - 1) % wine_count))]}"); done
  log "round $round/$ROUNDS: ${order[*]} (load $(cut -d' ' -f1 /proc/loadavg); busy: $(busy))"
  for name in "${order[@]}"; do
    log "  $name"
    measure "$name" "$round" --tests "$(tests_of "$name")"
  done
  # Dante checks a login with the system's password hash (yescrypt: ~0.1 s), so fewer setups.
  [[ ,$TESTS, == *,setup,* ]] && for name in "${EXTRAS[@]}"; do measure "$name" "$round" --tests rtt,setup --setup-count 50; done
done

if grep -qv '^==' "$WORK/measure.log" 2>/dev/null; then
  log "diagnostics of the tests (stalled connections counted, other lines as they are):"
  awk '/^==/ { if (stalls) print "  " stalls " connections stalled"; stalls = 0; queued = 0; head = $0; next }
       /stalled at/ { if (!stalls && head != "") { print head; head = "" } stalls++; next }
       /^    / { if (++queued == 12) print "    ... (full listing in measure.log)"; if (queued >= 12) next }
       { if (head != "") { print head; head = "" } print }
       END { if (stalls) print "  " stalls " connections stalled" }' "$WORK/measure.log" |
    head -80 >&2
fi

PEERS=()
for name in "${NAMES[@]}"; do [[ $name == quillan-run* || $name == floor ]] || PEERS+=("$name"); done
echo
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo |
  cut -d: -f2- | sed 's/^ //'), $(uname -r); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
((QUICK)) && echo "QUICK sizes: not for reporting"
echo
WINE_REPORT=()
((WINE)) && WINE_REPORT=(--wine-ours quillan-run.exe --wine-ref ref-relay.exe)
"$BENCH" report --results "$RESULTS" --ours quillan-run --variants quillan-run+log --floor floor \
  --peers "$(IFS=,; echo "${PEERS[*]}")" --extras "$(IFS=,; echo "${EXTRAS[*]}")" "${WINE_REPORT[@]}" \
  --note "quillan-run, quillan-run+login and quillan-run.exe run with --no-log, as the window does with its log console closed (each log line formatted, none written); quillan-run+log writes every line to its output, as quillan-run does by default."
if ((KEEP)); then cp "$RESULTS" "$WORK/results.kept"; fi

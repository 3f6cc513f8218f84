#!/bin/bash
# The soak run: mixed clients for N minutes through quillan-run (native build) and through
# quillan-run.exe (Windows build, under wine64), each build as two forwarders: one in front of
# a Dante of its own and one in front of the scripted proxy, which
# refuses, resets or stalls some sessions. Every echoed byte is checked; the forwarders' threads,
# descriptors and resident memory are read at the start, at the peak and 20 s after the load.
# A table with a row per forwarder; exits non-zero when a build fails. Loopback only; everything
# started here is stopped on exit.
#
# Usage: bench/soak.sh [--minutes N] [--only native|wine] [--no-half-close] [--keep]
#                      [--build-dir DIR] [--win-build-dir DIR]
#   --minutes N       load time per build (default 10)
#   --only B          one build only
#   --no-half-close   leave out the clients that half-close (send, shut down writing, read)
#   --keep            keep the work directory (every process's log)
#   --build-dir D     the native build (default build/native: quillan-run, quillan-bench,
#                     quillan-scripted-proxy)
#   --win-build-dir D the Windows build for the wine run (default build/windows-x64:
#                     tools/quillan-run.exe)
set -u
set -o pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
MINUTES=10
ONLY=""
HALF_CLOSE=on
KEEP=0
NATIVE=$ROOT/build/native
WIN_BUILD=$ROOT/build/windows-x64
while (($#)); do
  case $1 in
    --minutes) MINUTES=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --no-half-close) HALF_CLOSE=off; shift ;;
    --keep) KEEP=1; shift ;;
    --build-dir) NATIVE=$2; shift 2 ;;
    --win-build-dir) WIN_BUILD=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N] [--only native|wine] [--no-half-close] [--keep] [--build-dir DIR]" \
      "[--win-build-dir DIR]" >&2; exit 2 ;;
  esac
done
[[ $MINUTES =~ ^[1-9][0-9]*$ ]] || { echo "soak.sh: --minutes takes a whole number from 1" >&2; exit 2; }

readonly HOST=127.0.0.1 TARGET_PORT=32010 DANTE_PORT=32080
BENCH=$NATIVE/bench/quillan-bench
PROXY=$NATIVE/tests/support/quillan-scripted-proxy
RUN_NATIVE=$NATIVE/tools/quillan-run
RUN_EXE=$WIN_BUILD/tools/quillan-run.exe
for file in "$BENCH" "$PROXY" "$RUN_NATIVE"; do
  [[ -x $file ]] || { echo "soak.sh: $file is missing (cmake --preset native && cmake --build build/native -j2)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/quillan-soak.XXXXXX)
RESULTS=$WORK/results.txt
# shellcheck source=../scripts/lib.sh
QUILLAN_WORK=$WORK
source "$ROOT/scripts/lib.sh"
WINE_STARTED=0

log() { echo "[$(date -u +%H:%M:%S)] $*" >&2; }

cleanup() {
  stop_groups  # the forwarders first: some of them run under the Wine rig stopped next
  ((WINE_STARTED)) && wine_env_stop
  if ((KEEP)); then log "work directory kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for_line() {  # name text: up to 60 s, while the process lives
  local i
  for ((i = 0; i < 600; i++)); do
    grep -qF "$2" "$WORK/$1.log" 2>/dev/null && return 0
    sleep 0.1
  done
  log "$1: no \"$2\" within 60 s; its log:"
  tail -5 "$WORK/$1.log" >&2
  return 1
}

for port in $TARGET_PORT $DANTE_PORT 32011 32012 32021 32022; do
  if listening "$port"; then log "port $port is in use; is another soak running?"; exit 1; fi
done

# A Dante of its own, so that test runs starting and stopping their peers cannot touch it.
start_dante dante $DANTE_PORT || exit 1
wait_listening $DANTE_PORT 30 || { log "Dante did not start; its log:"; tail -5 "$WORK/dante.log" >&2; exit 1; }
start_group target "$BENCH" target --listen $TARGET_PORT
wait_for_line target "listening on" || exit 1

# soak_build NAME LOCAL_PORT SCRIPTED_LOCAL_PORT RUNNER...: the two forwarders of one build, a
# fresh scripted proxy (its cycle starts with an accepted session: the forwarder's trial).
soak_build() {
  local name=$1 port=$2 scripted_port=$3
  shift 3
  start_group "$name-proxy" "$PROXY" --target-port $TARGET_PORT --cycle accept,refuse,accept,reset,accept,stall
  local proxy_pid=$started_pid
  wait_for_line "$name-proxy" "port " || return 1
  local proxy_port
  proxy_port=$(awk '/^port / { print $2; exit }' "$WORK/$name-proxy.log")
  start_group "$name-dante" "$@" --local-port "$port" --target $HOST --target-port $TARGET_PORT \
    --proxy $HOST --proxy-port $DANTE_PORT
  local dante_pid=$started_pid
  start_group "$name-scripted" "$@" --local-port "$scripted_port" --target $HOST --target-port $TARGET_PORT \
    --proxy $HOST --proxy-port "$proxy_port"
  local scripted_pid=$started_pid
  wait_for_line "$name-dante" "Waiting for local incoming connection." &&
    wait_for_line "$name-scripted" "Waiting for local incoming connection." || return 1
  log "$name: $MINUTES min of load (forwarders: pid $dante_pid to Dante, pid $scripted_pid to the scripted proxy)"
  local status=0
  "$BENCH" soak --build "$name" --local "$port" --pid "$dante_pid" --scripted-local "$scripted_port" \
    --scripted-pid "$scripted_pid" --seconds $((MINUTES * 60)) --half-close $HALF_CLOSE \
    2>"$WORK/$name-soak.log" >>"$RESULTS" || status=1
  [[ -s $WORK/$name-soak.log ]] && sed "s/^/$name: /" "$WORK/$name-soak.log" | head -30 >&2
  stop_group "$dante_pid" 10
  stop_group "$scripted_pid" 10
  stop_group "$proxy_pid" 10
  return $status
}

failed=0
if [[ -z $ONLY || $ONLY == native ]]; then
  soak_build native 32011 32012 "$RUN_NATIVE" || failed=1
fi
if [[ -z $ONLY || $ONLY == wine ]]; then
  if [[ ! -f $RUN_EXE ]]; then
    log "$RUN_EXE is missing (cmake --preset windows-x64 && cmake --build build/windows-x64 -j2)"
    failed=1
  else
    # shellcheck source=../scripts/wine-env.sh
    source "$ROOT/scripts/wine-env.sh"
    WINE_STARTED=1
    wine_env_start 2>"$WORK/wine-env.log" || { cat "$WORK/wine-env.log" >&2; exit 1; }
    # The figures are the Linux process that runs the program under Wine: its threads are the
    # program's threads plus Wine's own few; its descriptors are the Unix fds Wine holds for the
    # program's sockets and other handles, not a Windows handle count.
    soak_build wine64 32021 32022 "$WINE_BIN" "$RUN_EXE" || failed=1
  fi
fi
echo
echo "Soak of $MINUTES min per build, $(date -u '+%Y-%m-%d %H:%M UTC'); start/peak/after: before the load, its peak, 20 s after."
((WINE_STARTED)) &&
  echo "Under wine64: the Linux process that runs quillan-run.exe; its descriptors are the Unix fds Wine holds."
echo
[[ -s $RESULTS ]] && "$BENCH" report --soak --results "$RESULTS"
exit $failed

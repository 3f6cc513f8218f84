#!/bin/bash
# Runs inside the guest as /job/run.sh (the job folder is made by tests/guest/run.sh): the i686
# test programs under 32-bit Wine with the real peers, then the shipped quillan.exe driven through
# its window. Results go to /job/out: NAME.xml and NAME.log per program, round-trip.log, times.txt.
#
#   /job/repo        the project's path on the host
#   /job/root/       its scripts/, tests/peers/, tests/guest/ and the build's .exe files at their
#                    paths on the host (the window tests have quillan.exe's path compiled in)
#   /job/programs    one test program a line (its path), optionally a gtest filter
#   /job/shipped/    quillan.exe from the win32 ZIP, when the round trip is wanted
set -u
out=/job/out
mkdir -p "$out"
now() { cut -d' ' -f1 /proc/uptime; }
timed() {  # label command...: its wall time to times.txt; returns its status
  local label=$1 start status
  shift
  start=$(now)
  "$@"
  status=$?
  echo "$label: $(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }') s (exit $status)" |
    tee -a "$out/times.txt"
  return $status
}
echo "guest job: $(nproc) cpus, kernel $(uname -r), wine $(/usr/lib/wine/wine64 --version)"

repo=$(cat /job/repo)
cp -a /job/root/. /
cd "$repo" || exit 1

# Programs start several times slower under full emulation than on a real machine: every bound
# of the tests' waits (tests/support/wait.h) is four times as long here.
export QUILLAN_TIMEOUT_SCALE=4
# The prefix booted when the image was made; the root disk is a snapshot, so it is used in place.
export QUILLAN_WINEPREFIX=/var/lib/quillan-guest/prefix QUILLAN_WINE_BOOTED=1
# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
timed rig-start wine_env_start || {
  cat "$QUILLAN_WINE_STATE"/*.log
  exit 1
}
timed peers-start bash tests/peers/peers.sh start || {
  wine_env_stop "$WINEPREFIX"
  exit 1
}

# Each program once with all its cases (or its filter), bounded in time; the XML is its report.
while read -r program filter; do
  [ -n "$program" ] || continue
  name=$(basename "$program" .exe)
  echo "guest job: $name ${filter:+(filter $filter)}"
  timed "$name" timeout "${QUILLAN_GUEST_PROGRAM_LIMIT:-900}" "$WINE_BIN" "$program" \
    ${filter:+"--gtest_filter=$filter"} "--gtest_output=xml:Z:$out/$name.xml" >"$out/$name.log" 2>&1
  grep -E '^\[  (PASSED|FAILED|SKIPPED) +\]' "$out/$name.log"
done </job/programs

if [ -f /job/shipped/quillan.exe ]; then
  drive=$(find "$repo" -name quillan-drive.exe -print -quit)
  timed round-trip bash tests/guest/window-round-trip.sh /job/shipped/quillan.exe "$drive" \
    >"$out/round-trip.log" 2>&1
  tail -n 3 "$out/round-trip.log"
fi

timed peers-stop bash tests/peers/peers.sh stop
timed rig-stop wine_env_stop "$WINEPREFIX"
echo "guest job: done after $(now) s of uptime"

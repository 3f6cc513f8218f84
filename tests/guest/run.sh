#!/usr/bin/env bash
# The shipping 32-bit build tested where it can run: this kernel runs no 32-bit code, so the i686
# test programs run under 32-bit Wine in an emulated Debian guest (make-image.sh), with the real
# peers (tests/peers/peers.sh) started inside it. Then the quillan.exe of the win32 ZIP in dist/
# is driven through its window there (window-round-trip.sh).
#
#   tests/guest/run.sh                      every test program, then the shipped exe's round trip
#   tests/guest/run.sh NAME[:FILTER] ...    only these programs (e.g. config_tests, or
#                                           socks5_peer_tests:'PeerTest.*'), no round trip
#
# Builds BUILD/windows-x86-guest (the windows-x86 preset, MinSizeRel as shipped, with its tests);
# makes or reuses the image in BUILD/guest-image (its log BUILD/guest-image.log); the guest's job
# folder is BUILD/guest-job.
# Environment: QUILLAN_BUILD_ROOT (default build), QUILLAN_JOBS (default 2),
# QUILLAN_GUEST_LIMIT (seconds the guest may run, default 2400).
# Exit status 0 when every program reported and passed (and the round trip, when run).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
cd "$repo"
build_root=$(realpath -m "${QUILLAN_BUILD_ROOT:-build}")
build=$build_root/windows-x86-guest
job=$build_root/guest-job
limit=${QUILLAN_GUEST_LIMIT:-2400}
say() { echo "guest: $*"; }

zip=
if [ $# -eq 0 ]; then
  zips=(dist/quillan-proxy-*-win32.zip)
  [ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || {
    echo "guest: need exactly one dist/quillan-proxy-*-win32.zip (scripts/package.sh makes it)" >&2
    exit 1
  }
  zip=$repo/${zips[0]}
fi

# The image is made (or found) while the build runs: its downloads wait on the network, the build
# on the processors. It runs in a process group of its own, stopped as a whole if the build fails.
mkdir -p "$build_root"
setsid "$here/make-image.sh" "$build_root/guest-image" >"$build_root/guest-image.log" 2>&1 </dev/null &
image_pid=$!
trap 'kill -TERM -- "-$image_pid" 2>/dev/null || true' EXIT
[ -f "$build/CMakeCache.txt" ] || cmake --preset windows-x86 -B "$build" -DBUILD_TESTING=ON
cmake --build "$build" -j"${QUILLAN_JOBS:-2}"
image_status=0
wait "$image_pid" || image_status=$?
trap - EXIT
cat "$build_root/guest-image.log"
[ "$image_status" -eq 0 ] || exit 1

# Every gtest program of the build: each has a ctest include file beside it.
programs=()
while IFS= read -r include; do
  exe=${include%\[1\]_include.cmake}.exe
  [ -f "$exe" ] || {
    echo "guest: $exe is not built" >&2
    exit 1
  }
  programs+=("$exe")
done < <(find "$build/tests" -name '*\[1\]_include.cmake' | sort)

rm -rf "$job"
# What the guest needs, at its absolute path (the guest copies root/ over its /): the window
# tests have quillan.exe's path compiled in.
root=$job/root
mkdir -p "$job/out" "$root$repo/tests"
echo "$repo" >"$job/repo"
cp -a scripts "$root$repo/"
cp -a tests/peers tests/guest "$root$repo/tests/"
find "$build" -name '*.exe' -not -path '*/CMakeFiles/*' -exec cp --parents {} "$root/" \;
names=()
: >"$job/programs"
for exe in "${programs[@]}"; do
  name=$(basename "$exe" .exe)
  filter= match=$((!$#))
  for wanted in "$@"; do
    case $wanted in
      "$name") match=1 ;;
      "$name":*) match=1 filter=${wanted#*:} ;;
    esac
  done
  ((match)) || continue
  names+=("$name")
  echo "$exe $filter" >>"$job/programs"
done
for wanted in "$@"; do
  [[ " ${names[*]} " == *" ${wanted%%:*} "* ]] || {
    echo "guest: no test program ${wanted%%:*}; there are:" $(for p in "${programs[@]}"; do basename "$p" .exe; done) >&2
    exit 2
  }
done
round_trip=()
if [ -n "$zip" ]; then
  mkdir -p "$job/shipped"
  (cd "$job/shipped" && python3 -m zipfile -e "$zip" .)
  round_trip=(--round-trip)
fi
install -m 0755 "$here/guest-job.sh" "$job/run.sh"

say "booting the guest for ${names[*]}${zip:+ and the round trip of $(basename "$zip")} (limit ${limit}s)"
status=0
"$here/boot.sh" "$build_root/guest-image" "$job" "$limit" || status=$?
[ -f "$job/guest.log" ] && grep '^guest job:' "$job/guest.log" | tail -n 1
[ "$status" -eq 124 ] && echo "guest: did not finish within ${limit}s"
python3 "$here/summary.py" "$job" "${names[@]}" "${round_trip[@]}" || status=1
exit "$status"

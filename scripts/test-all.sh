#!/usr/bin/env bash
# The one test command: installs what is missing, checks the sources, then builds and tests every
# configuration (warnings are errors). Stops at the first failure. Each configuration is its
# workflow preset (CMakePresets.json: `cmake --workflow --preset NAME`).
#
#   native, native-asan, native-tsan   build + ctest on Linux
#   windows-x64                        build + ctest, inside the wine64 rig (scripts/wine-env.sh)
#   windows-x86                        build only (this kernel runs no 32-bit code; see below)
#   package                            scripts/package.sh in a copy of the tracked files (as a
#                                      fresh clone), then the ZIPs and programs checked
#   rdp                                a real Remote Desktop session through the packaged
#                                      quillan.exe (wine64, driven through its window) and
#                                      through quillan-run (builds what it needs)
#   windows-x86-guest                  the windows-x86 build with its tests under 32-bit Wine in
#                                      an emulated Debian guest (tests/guest/run.sh), and the
#                                      win32 ZIP's quillan.exe driven through its window there
#   fuzz                               libFuzzer targets, a short smoke run each
#
# Environment: QUILLAN_BUILD_ROOT (default build: build/<preset>, as the presets),
# QUILLAN_JOBS (default 2), QUILLAN_FUZZ_SECONDS (default 60 per target),
# QUILLAN_SKIP_SETUP=1 (do not call scripts/setup.sh). Arguments: stage names to run only those.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
build_root=${QUILLAN_BUILD_ROOT:-build}
jobs=${QUILLAN_JOBS:-2}
fuzz_seconds=${QUILLAN_FUZZ_SECONDS:-60}
# What the presets read: warnings are errors here, and the parallel jobs of builds and tests.
export QUILLAN_WERROR=ON CMAKE_BUILD_PARALLEL_LEVEL=$jobs CTEST_PARALLEL_LEVEL=$jobs

summary=()
current=

finish() {
  local status=$?
  echo
  for line in "${summary[@]}"; do echo "  $line"; done
  local total="$((SECONDS / 60))m$((SECONDS % 60))s"
  if [ $status -eq 0 ]; then
    echo "test-all: PASSED: ${#summary[@]} stages in $total"
  else
    echo "test-all: FAILED at stage '${current:-?}' after $total (exit $status; see above)"
  fi
}
trap finish EXIT

# stage NAME COMMAND...: runs one step and stops everything when it fails. The shell's `time`
# reports its wall time and the CPU time of all it ran: together they show how much of a stage
# was waiting for a busy machine. The step writes to the script's own output (3 and 4); only the
# report is captured, in a subshell that stops at the first failure as this shell does.
shopt -s inherit_errexit
exec 3>&1 4>&2
stage() {
  current=$1
  shift
  printf '\n=== test-all: %s\n' "$current"
  local TIMEFORMAT='%0R s wall, %0U+%0S s cpu' timing
  timing=$({ time "$@" >&3 2>&4; } 2>&1)
  summary+=("$(printf '%-17s %s' "$current" "$timing")")
  current=
}

# ---- sources ----------------------------------------------------------------------------------

# Only the platform layer (and tests) talk to the OS socket API and its error variables; bench/ is
# a measuring harness (and its reference relay), not part of the program. The unbounded text calls
# are compile errors in the product itself (common/banned_calls.h).
check_style() {
  local all core hits found=0
  local raw='(^|[^A-Za-z0-9_])(closesocket[ \t]*[(]|select[ \t]*[(]|errno([^A-Za-z0-9_]|$))'
  raw+='|::close[ \t]*[(]|WSAGetLastError'
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t all < <(git ls-files -- '*.cpp' '*.h' '*.hpp' '*.cc')
  else
    mapfile -t all < <(find . -path ./build -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print |
      sed 's|^\./||')
  fi
  mapfile -t core < <(printf '%s\n' "${all[@]}" | grep -Ev '^(platform|tests|bench)/' || true)
  # Matching lines outside // comments (/dev/null: never read standard input).
  hits=$(awk -v pattern="$raw" '
    { line = $0; sub(/\/\/.*$/, "", line); if (line ~ pattern) printf "%s:%d: %s\n", FILENAME, FNR, $0 }
  ' "${core[@]}" /dev/null)
  if [ -n "$hits" ]; then
    printf 'raw socket calls or error variables outside platform/ (use platform/socket.h):\n%s\n' "$hits"
    found=1
  fi
  if ! clang-format --dry-run -Werror "${all[@]}"; then
    echo "clang-format: the files above differ from .clang-format (run clang-format -i)"
    found=1
  fi
  [ $found -eq 0 ] && echo "style: ${#all[@]} files clean"
  return $found
}

# ---- builds -----------------------------------------------------------------------------------

# One configuration through its workflow preset: configure, build, and test where it has tests.
# Another QUILLAN_BUILD_ROOT takes the same presets one step at a time, into that root.
workflow() {
  local preset=$1 dir=$build_root/$1
  if [ "$(realpath -m "$build_root")" = "$repo/build" ]; then
    cmake --workflow --preset "$preset"
    return
  fi
  cmake --preset "$preset" -B "$dir"
  cmake --build "$dir"
  if ctest --list-presets | grep -q "\"$preset\""; then ctest --preset "$preset" --test-dir "$dir"; fi
}

# The tests run under wine64: one rig (persistent wineserver and desktop) for the whole workflow
# keeps each test process cheap.
windows_x64() {
  (
    # shellcheck source=scripts/wine-env.sh
    source scripts/wine-env.sh
    trap 'set +e; wine_env_stop "${WINEPREFIX:-}"' EXIT  # as `wine-env.sh run`: its status is not ours
    wine_env_start || exit 1
    workflow windows-x64
  )
}

# The downloads, checked as a Windows user gets them. package.sh runs in a copy of the tracked
# files as they are in the tree (uncommitted edits included, so the ZIPs match what the other
# stages test), as in a fresh clone; so does the check (it compares with that build's manifests
# and looks for its path in the programs). dist/ comes back for the stages that unpack it.
package_check() {
  local work status=0 epoch
  # The stamp is the checked-out commit's time, which the copy (no .git) cannot read itself.
  epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
  work=$(mktemp -d)
  git ls-files -z | tar --null --no-recursion --ignore-failed-read -T - -cf - 2>/dev/null |
    tar -C "$work" -xf - || status=$?
  if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "package: the tree has uncommitted changes; they are packaged too"
  fi
  if [ $status -eq 0 ]; then
    (cd "$work" && SOURCE_DATE_EPOCH=$epoch QUILLAN_SKIP_SETUP=1 scripts/package.sh &&
      python3 tests/package/check_package.py dist) || status=$?
  fi
  if [ $status -eq 0 ]; then
    mkdir -p dist
    rm -f dist/quillan-proxy-*.zip dist/SHA256SUMS
    cp "$work"/dist/* dist/ || status=$?
  fi
  rm -rf "$work"
  return $status
}

# xfreerdp -> quillan.exe from the win64 ZIP (or quillan-run) -> Dante with a login -> xrdp.
rdp_session() {
  local zip unpacked status=0
  compgen -G 'dist/quillan-proxy-*-win64.zip' >/dev/null || QUILLAN_SKIP_SETUP=1 scripts/package.sh
  zip=$(compgen -G 'dist/quillan-proxy-*-win64.zip')
  [ -f "$build_root/native/CMakeCache.txt" ] || cmake --preset native -B "$build_root/native"
  [ -f "$build_root/windows-x64/CMakeCache.txt" ] || cmake --preset windows-x64 -B "$build_root/windows-x64"
  cmake --build "$build_root/native" -j"$jobs" --target quillan-run
  cmake --build "$build_root/windows-x64" -j"$jobs" --target quillan-drive
  unpacked=$(mktemp -d)
  (cd "$unpacked" && python3 -m zipfile -e "$repo/$zip" .)
  timeout 300 tests/rdp/rdp_e2e.sh "$unpacked/quillan.exe" \
    "$build_root/windows-x64/tests/app/quillan-drive.exe" "$build_root/native/tools/quillan-run" ||
    status=$?
  rm -rf "$unpacked"
  return $status
}

# The shipping 32-bit build where it can run: this kernel runs no 32-bit code, so its tests and
# the win32 ZIP's quillan.exe run under 32-bit Wine in an emulated guest (its image is made once,
# into the build folder, and reused while its recipe is unchanged).
windows_x86_guest() {
  compgen -G 'dist/quillan-proxy-*-win32.zip' >/dev/null || package_check
  QUILLAN_BUILD_ROOT=$build_root QUILLAN_JOBS=$jobs tests/guest/run.sh
}

fuzz_smoke() {
  workflow fuzz
  local targets target name corpus work
  mapfile -t targets < <(find "$build_root/fuzz" -type f -perm -u+x -name '*_fuzz' | sort)
  [ ${#targets[@]} -gt 0 ] || {
    echo "no fuzz targets built"
    return 1
  }
  for target in "${targets[@]}"; do
    name=$(basename "$target")
    work=$(mktemp -d)
    corpus="fuzz/corpus/${name%_fuzz}"
    [ -d "$corpus" ] && cp -r "$corpus/." "$work/"
    echo "$name: ${fuzz_seconds}s from $(find "$work" -type f | wc -l) seeds"
    # A copy of the corpus, so new inputs do not land in the source tree.
    if ! "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 -artifact_prefix="$work/" \
      "$work" 2>"$work.log"; then
      tail -n 60 "$work.log"
      echo "$name: finding saved in $work"
      return 1
    fi
    grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$work.log" | tail -n 2 || true
    rm -rf "$work" "$work.log"
  done
}

# ---- the run ----------------------------------------------------------------------------------

# Every stage in its order; arguments pick stages by name (scripts/test-all.sh style native).
stages=(setup style native native-asan native-tsan windows-x64 windows-x86 package rdp
  windows-x86-guest fuzz)
for name in "$@"; do
  [[ " ${stages[*]} " == *" $name "* ]] || {
    echo "test-all: unknown stage '$name'" >&2
    exit 2
  }
done
for name in "${stages[@]}"; do
  [ $# -eq 0 ] || [[ " $* " == *" $name "* ]] || continue
  case $name in
    setup) [ "${QUILLAN_SKIP_SETUP:-0}" = 1 ] || stage setup scripts/setup.sh test ;;
    style) stage style check_style ;;
    native*) stage "$name" workflow "$name" ;;
    windows-x64) stage windows-x64 windows_x64 ;;
    windows-x86) stage windows-x86 workflow windows-x86 ;;
    package) stage package package_check ;;
    rdp) stage rdp rdp_session ;;
    windows-x86-guest) stage windows-x86-guest windows_x86_guest ;;
    fuzz) stage fuzz fuzz_smoke ;;
  esac
done

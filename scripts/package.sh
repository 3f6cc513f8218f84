#!/usr/bin/env bash
# Builds the downloads for Windows users, each from a fresh build directory of its own:
#
#   dist/quillan-proxy-VERSION-win32.zip   the shipping 32-bit program (build/package-x86)
#   dist/quillan-proxy-VERSION-win64.zip   the same for 64-bit Windows (build/package-x64)
#   dist/SHA256SUMS
#
# Each ZIP holds quillan.exe and README.txt. Two runs from the same commit give the same bytes:
# the programs carry no link time and no build path (CMakeLists.txt), and CPack stamps every
# entry with SOURCE_DATE_EPOCH (by default the commit's time) instead of the build's file times;
# entry order and modes are CPack's own, fixed by the install rules.
#
# Environment: QUILLAN_JOBS (default 2), QUILLAN_SKIP_SETUP=1 (do not call scripts/setup.sh),
# SOURCE_DATE_EPOCH (default: the time of the checked-out commit).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
jobs=${QUILLAN_JOBS:-2}
say() { printf 'package: %s\n' "$*"; }

if [ "${QUILLAN_SKIP_SETUP:-0}" != 1 ] && [ -x scripts/setup.sh ]; then
  scripts/setup.sh package
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  say "warning: the tree has uncommitted changes; they are packaged too"
fi

# build/ too: a fresh clone has none, and each configure log goes there before CMake runs.
mkdir -p dist build
rm -f dist/quillan-proxy-*.zip dist/SHA256SUMS
for arch in x86 x64; do
  dir=build/package-$arch
  rm -rf "$dir"
  say "building $dir"
  # Installing builds only quillan.exe (not every target), the one file that ships.
  cmake --preset "windows-$arch" -B "$dir" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DQUILLAN_WERROR=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$dir.configure.log" 2>&1 || {
    cat "$dir.configure.log" >&2
    exit 1
  }
  cmake --build "$dir" -j"$jobs" --target quillan
  (cd "$dir" && cpack -G ZIP -C MinSizeRel -B "$repo/$dir/cpack" >cpack.log 2>&1) || {
    cat "$dir/cpack.log" >&2
    exit 1
  }
  zips=("$dir"/cpack/quillan-proxy-*.zip)
  [ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || {
    echo "package: CPack made no single ZIP in $dir/cpack" >&2
    exit 1
  }
  cp "${zips[0]}" dist/
done
(cd dist && sha256sum quillan-proxy-*.zip >SHA256SUMS)
say "done (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH):"
sed 's/^/  /' dist/SHA256SUMS

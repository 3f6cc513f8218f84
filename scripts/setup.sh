#!/usr/bin/env bash
# Installs the Debian 12 packages that one command needs; does nothing when they are installed.
# Uses sudo when not run as root.
#
#   scripts/setup.sh run       build and run the program under Wine, and the --demo peers
#   scripts/setup.sh package   build the Windows downloads
#   scripts/setup.sh test      everything scripts/test-all.sh builds and runs
#   scripts/setup.sh guest     the emulated guest that runs the 32-bit build (tests/guest/)
#   scripts/setup.sh bench     the benchmark and soak run with their peers (bench/run.sh, bench/soak.sh)
#   scripts/setup.sh           all of them
set -euo pipefail

# The two mingw-w64 cross compilers (posix thread model: GoogleTest needs std::mutex) and their
# binutils (objdump for the import check).
build=(cmake make g++ git python3
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64 mingw-w64-tools)
# Running the Windows build on the host: 64-bit Wine only (this kernel cannot run 32-bit code;
# 32-bit Wine runs only in the emulated guest of tests/guest/), on a virtual X display (with
# Wine's own fonts: Marlett draws the title-bar buttons), with xdotool to check the desktop and
# imagemagick for screenshots.
wine=(wine wine64 fonts-wine xvfb xdotool imagemagick)
# A real Remote Desktop server and client, for the end-to-end session test and the demo.
rdp=(xrdp xorgxrdp freerdp2-x11)
# The test programs: GoogleTest, the sanitizers, libFuzzer, the style check; SOCKS5 peers
# (Dante, microsocks, and ssh -D through an sshd the tests start from their own configuration).
tests=(googletest libgtest-dev clang libclang-rt-14-dev clang-format dante-server microsocks
  openssh-server openssh-client)
# The 32-bit build runs only in an emulated guest (this kernel runs no 32-bit code): qemu, and
# debootstrap and mkfs.ext4 to make the guest's Debian image (tests/guest/make-image.sh).
guest=(qemu-system-x86 debootstrap e2fsprogs)
# The benchmark's forwarders and tools.
bench=(dante-server socat netcat-openbsd proxychains4 v2ray)

case "${1:-all}" in
  # The Windows build configures its tests too (the demo's window driver is one of them).
  run) packages=("${build[@]}" googletest "${wine[@]}" microsocks "${rdp[@]}") ;;
  package) packages=("${build[@]}") ;;
  test) packages=("${build[@]}" "${wine[@]}" "${rdp[@]}" "${tests[@]}" "${guest[@]}") ;;
  guest) packages=("${build[@]}" googletest "${guest[@]}") ;;
  bench) packages=("${build[@]}" "${wine[@]}" "${tests[@]}" "${bench[@]}") ;;
  all) packages=("${build[@]}" "${wine[@]}" "${rdp[@]}" "${tests[@]}" "${guest[@]}" "${bench[@]}") ;;
  *)
    echo "usage: $0 [run|package|test|guest|bench]" >&2
    exit 2
    ;;
esac
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages are installed"
  exit 0
fi
echo "setup: installing ${missing[*]}"

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "setup: not root and no sudo: install ${missing[*]} by hand" >&2
    exit 1
  }
  sudo=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
# wine64 recommends wine32, which cannot run on this host (only in the guest): "wine32-" keeps it
# out where i386 is enabled.
never=()
if apt-cache policy wine32 2>/dev/null | grep -q '^wine32:'; then
  never=(wine32-)
fi
"${sudo[@]}" apt-get install -y "${packages[@]}" "${never[@]}"
# The tests run their own xrdp on loopback; a fresh install must not leave the system's RDP
# service listening on every interface.
if [[ " ${missing[*]} " == *" xrdp "* ]] && [ -d /run/systemd/system ]; then
  "${sudo[@]}" systemctl disable --now xrdp xrdp-sesman >/dev/null 2>&1 || true
fi
# The same for the SSH service a fresh openssh-server starts: the tests run an sshd of their own.
if [[ " ${missing[*]} " == *" openssh-server "* ]] && [ -d /run/systemd/system ]; then
  "${sudo[@]}" systemctl disable --now ssh >/dev/null 2>&1 || true
fi
echo "setup: done"

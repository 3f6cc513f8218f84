#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the run scripts need. Does nothing
# when all are installed already. Uses sudo when not run as root.
set -euo pipefail

packages=(
  # build: native, sanitizers, libFuzzer, the two mingw-w64 cross compilers (posix thread
  # model: GoogleTest needs std::mutex) and their binutils (objdump for the import check)
  cmake make g++ clang libclang-rt-14-dev clang-format git
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64 mingw-w64-tools
  googletest
  # running the Windows build: 64-bit Wine only (this kernel cannot run 32-bit code), on a
  # virtual X display (with Wine's own fonts: Marlett draws the title-bar buttons), with xdotool
  # to check the desktop and imagemagick for screenshots
  wine wine64 fonts-wine xvfb xdotool imagemagick
  # SOCKS5 peers and network tools for the tests, the demo and the benchmark
  dante-server microsocks socat ncat netcat-openbsd proxychains4 v2ray
  # a real Remote Desktop server and client for the end-to-end session test and the demo
  xrdp xorgxrdp freerdp2-x11
  python3
)

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
# wine64 recommends wine32, which cannot run here: "wine32-" keeps it out where i386 is enabled.
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
echo "setup: done"

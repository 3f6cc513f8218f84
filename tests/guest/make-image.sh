#!/usr/bin/env bash
# Makes the emulated guest that runs the 32-bit build: a Debian 12 amd64 system (its kernel runs
# 32-bit code, this machine's does not) with 64- and 32-bit Wine, Xvfb and the SOCKS5 peers, from
# Debian packages only, and a Wine prefix booted once inside it.
#
#   tests/guest/make-image.sh DIR     writes DIR/vmlinuz, DIR/initrd.img, DIR/root.img, DIR/key
#
# DIR/key holds a hash of this script, the guest's init and the Wine rig that boots the prefix:
# when it matches, the image is reused as it is. Needs root, debootstrap, mkfs.ext4, qemu.
# Environment: QUILLAN_GUEST_MIRROR (default: the Debian mirror of this machine's apt sources).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
dir=${1:?usage: make-image.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
t0=$(date +%s)
say() { echo "guest image: $(($(date +%s) - t0))s: $*"; }

# The mirror apt uses here (deb822 or one-line sources), so the guest gets the same packages.
debian_uri() {  # suite
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk -v suite="$1" '
      /^deb / && $3 == suite { print $2; exit }
      /^URIs:/ { uri = $2 }
      /^Suites:/ && uri != "" { for (i = 2; i <= NF; i++) if ($i == suite) { print uri; exit } }
      /^$/ { uri = "" }' || true  # (cat's complaint about a missing file is not an error)
}
mirror=${QUILLAN_GUEST_MIRROR:-$(debian_uri bookworm)}
mirror=${mirror:-http://deb.debian.org/debian}
security=$(debian_uri bookworm-security)
security=${security:-http://deb.debian.org/debian-security}

key=$(cat "$0" "$here/guest-init.sh" "$repo/scripts/wine-env.sh" | sha256sum | cut -c1-16)-$(echo "$mirror" | sha256sum | cut -c1-8)
if [ -f "$dir/key" ] && [ "$(cat "$dir/key")" = "$key" ] && [ -f "$dir/root.img" ]; then
  say "reusing the image in $dir (key $key)"
  exit 0
fi
say "making the image in $dir (key $key, mirror $mirror)"
rm -f "$dir/key"
root=$dir/rootfs
# Only our own chroot's /proc is unmounted, on every path (lazily: a process that a package's
# script left behind may still hold it for a moment).
cleanup() { if mountpoint -q "$root/proc"; then umount -l "$root/proc"; fi; }
trap cleanup EXIT
cleanup
in_root() { nice -n 10 chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }
install_packages() { in_root apt-get install -y -q --no-install-recommends "$@" >>"$dir/packages.log" 2>&1; }

# Debian and the packages, into rootfs.
install_system() {
  rm -rf "$root"
  nice -n 10 debootstrap --variant=minbase --arch=amd64 bookworm "$root" "$mirror" >"$dir/debootstrap.log" 2>&1 || {
    tail -n 20 "$dir/debootstrap.log"
    exit 1
  }
  say "debootstrap done"
  printf 'deb %s bookworm main\ndeb %s bookworm-updates main\ndeb %s bookworm-security main\n' \
    "$mirror" "$mirror" "$security" >"$root/etc/apt/sources.list"
  echo quillan-guest >"$root/etc/hostname"
  # debootstrap writes no hosts file; this is the one a Debian install writes (localhost also ::1).
  printf '127.0.0.1\tlocalhost\n127.0.1.1\tquillan-guest\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  # No service starts inside the chroot while packages install.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
  mount -t proc proc "$root/proc"
  in_root dpkg --add-architecture i386
  in_root apt-get update -q >"$dir/packages.log" 2>&1
  # A small initramfs (only what mounts /dev/vda) set up before the kernel arrives, else its
  # trigger builds a large one with every module.
  install_packages initramfs-tools kmod
  printf '%s\n' virtio_pci virtio_blk ext4 >"$root/etc/initramfs-tools/modules"
  sed -i 's/^MODULES=.*/MODULES=list/' "$root/etc/initramfs-tools/initramfs.conf"
  # The kernel; Wine with its 32-bit half and fonts; the display the rig draws on (xdotool finds
  # its desktop); the peers of tests/peers/peers.sh with what it runs (useradd/chpasswd for
  # Dante's login, flock, python3); netbase: /etc/services, which Winsock reads for service names.
  install_packages linux-image-amd64 \
    wine wine64 wine32:i386 libwine:i386 fonts-wine xvfb xdotool \
    dante-server microsocks openssh-server openssh-client \
    python3 procps iproute2 util-linux passwd netbase || {
    tail -n 20 "$dir/packages.log"
    exit 1
  }
  echo "$key" >"$root/.quillan-packages"
  say "packages installed"
}
# rootfs into root.img with the kernel beside it.
make_disk() {
  # An earlier run that stopped after the packages of this same recipe left them in rootfs.
  if [ "$(cat "$root/.quillan-packages" 2>/dev/null)" = "$key" ]; then
    say "the packages are in $root from an earlier run"
  else
    install_system
  fi
  local kver
  kver=$(ls "$root/lib/modules" | sort -V | tail -n 1)
  cp "$root/boot/vmlinuz-$kver" "$dir/vmlinuz"
  cp "$root/boot/initrd.img-$kver" "$dir/initrd.img"
  install -m 0755 "$here/guest-init.sh" "$root/sbin/quillan-guest-init"
  in_root apt-get clean
  rm -rf "$root"/var/lib/apt/lists/*
  cleanup
  rm -f "$dir/root.img"
  nice -n 10 mkfs.ext4 -q -F -L quillan-guest -d "$root" "$dir/root.img" 6G
  rm -rf "$root"
  echo "$key" >"$dir/root.key"
  say "root.img made"
}
# An earlier run that stopped after the disk of this same recipe only makes the prefix again.
if [ "$(cat "$dir/root.key" 2>/dev/null)" = "$key" ] && [ -f "$dir/root.img" ]; then
  say "root.img is there from an earlier run"
else
  rm -f "$dir/root.key"
  make_disk
fi

# One boot with the root disk writable makes the Wine prefix in it (about 1.3 GB, a minute and
# more to boot under emulation); later runs open the disk as a throw-away snapshot and use it
# in place. The prefix is booted by the project's own rig, which also writes the desktop keys.
job=$dir/provision
rm -rf "$job"
mkdir -p "$job/scripts"
cp "$repo/scripts/wine-env.sh" "$job/scripts/"
cat >"$job/run.sh" <<'JOB'
set -u
start=$(cut -d' ' -f1 /proc/uptime)
export QUILLAN_WINEPREFIX=/var/lib/quillan-guest/prefix QUILLAN_WINE_TEMPLATE=
rm -rf /var/lib/quillan-guest && mkdir -p /var/lib/quillan-guest
source /job/scripts/wine-env.sh
wine_env_start || { cat "$QUILLAN_WINE_STATE"/*.log; exit 1; }
cp "$QUILLAN_WINE_STATE/wineboot.log" /job/
wine_env_stop "$WINEPREFIX"  # a prefix outside /tmp stays
# The 32-bit half must be whole: the DLLs every test program imports.
missing=
for dll in kernel32 user32 advapi32 shell32 comctl32 ole32 ws2_32 msvcrt version; do
  [ -f "$QUILLAN_WINEPREFIX/drive_c/windows/syswow64/$dll.dll" ] || missing="$missing $dll"
done
echo "syswow64: $(ls "$QUILLAN_WINEPREFIX/drive_c/windows/syswow64" | wc -l) files${missing:+, missing:$missing}"
[ -z "$missing" ] && touch /job/provisioned
echo "prefix booted in $(awk -v a="$start" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.0f", b - a }') s"
JOB
"$here/boot.sh" --write-root "$dir" "$job" 900 || true
if [ ! -f "$job/provisioned" ]; then
  echo "guest image: the prefix was not made; guest logs in $job" >&2
  tail -n 30 "$job/guest.log" "$job/console.log" 2>/dev/null >&2
  exit 1
fi
cat "$job/guest.log" "$job/wineboot.log" >"$dir/provision.log"
rm -rf "$job"
echo "$key" >"$dir/key"
say "prefix booted; image ready ($(du -h "$dir/root.img" | cut -f1) used of 6G)"

#!/usr/bin/env bash
# Boots the guest of make-image.sh until its job ends (it powers itself off) or LIMIT seconds.
#
#   tests/guest/boot.sh [--write-root] IMAGE_DIR JOB_DIR LIMIT
#
# JOB_DIR is shared as 9p tag "job": the guest runs JOB_DIR/run.sh (output JOB_DIR/guest.log;
# serial console JOB_DIR/console.log). The root disk is a throw-away snapshot unless --write-root.
# Full emulation (TCG: no KVM here) with -cpu max,-smap: with SMAP, qemu 7.2's emulation crashes
# the guest kernel as soon as a 64-bit Wine process starts. No network device: loopback only.
# Exit status: qemu's, or 124 when it was stopped at the limit.
set -euo pipefail
snapshot=on
if [ "${1:-}" = --write-root ]; then
  snapshot=off
  shift
fi
image=$(cd "$1" && pwd)
job=$(cd "$2" && pwd)
limit=$3
start=$(date +%s)
qemu-system-x86_64 -machine q35 -accel tcg,thread=multi -cpu max,-smap -smp 2 -m 4096 \
  -display none -monitor none -serial "file:$job/console.log" -no-reboot -nic none \
  -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0 init=/sbin/quillan-guest-init loglevel=4 mitigations=off tsc=reliable" \
  -drive "file=$image/root.img,format=raw,if=virtio,snapshot=$snapshot,cache=unsafe" \
  -virtfs "local,path=$job,mount_tag=job,security_model=none,id=job" </dev/null &
qemu=$!
stop_qemu() { kill "$qemu" 2>/dev/null || true; }
trap stop_qemu EXIT
status=0
if ! timeout "$limit" tail --pid="$qemu" -f /dev/null; then
  echo "guest: still running after ${limit}s: stopping qemu (pid $qemu)" >&2
  stop_qemu
  status=124
fi
wait "$qemu" || { [ "$status" = 124 ] || status=$?; }
trap - EXIT
echo "guest: qemu ran $(($(date +%s) - start)) s" >&2
exit "$status"

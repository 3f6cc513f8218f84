#!/bin/bash
# PID 1 of the guest (kernel command line init=/sbin/quillan-guest-init): mounts what Wine and the
# peers need, brings up loopback (the only network), mounts the host's job folder (9p tag "job",
# the one thing shared with the host) on /job, runs /job/run.sh with its output in
# /job/guest.log, and powers the machine off, also when the job fails.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
# (The initramfs hands over /proc, /sys and /dev mounted.)
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620 devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs -o size=4G tmpfs /tmp
mount -t tmpfs tmpfs /run
mount -o remount,rw /
hostname quillan-guest
ip link set lo up
power_off() {
  sync
  umount /job 2>/dev/null
  mount -o remount,ro / 2>/dev/null
  sync
  echo "guest: power off"
  echo o >/proc/sysrq-trigger
  sleep 30
}
trap power_off EXIT
modprobe 9pnet_virtio
modprobe 9p
mkdir -p /job
# cache=none: what the job writes is on the host at once, even if the guest is stopped later.
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=none job /job; then
  echo "guest: cannot mount the job folder"
  exit 1
fi
echo "guest: up after $(cut -d' ' -f1 /proc/uptime) s"
bash /job/run.sh >/job/guest.log 2>&1
echo "guest: job ended with $? after $(cut -d' ' -f1 /proc/uptime) s"

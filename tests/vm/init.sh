#!/bin/busybox sh
# First process of the camera test's virtual machine: loads the modules, mounts the host's root
# read-only with fresh tmpfs on the writable places, loads v4l2loopback and runs the check script
# in a chroot. Results go to the writable "results" share; the machine then powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
say() { echo "vm init: $*" >/dev/console; }
for m in $(cat /lib/modules/order); do
  insmod "/lib/modules/$m" 2>/dev/console || say "insmod $m failed"
done
mkdir -p /results
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results /results ||
  { say "no results share"; poweroff -f; }
. /results/params
opts=trans=virtio,version=9p2000.L,msize=512000,cache=loose,ro
if ! mount -t 9p -o "$opts" hostroot /host; then
  echo "FAIL boot: the host root could not be mounted" >>/results/cases
  poweroff -f
fi
mount -t devtmpfs dev /host/dev
# What udev would make: bash's process substitution needs /dev/fd.
ln -sf /proc/self/fd /host/dev/fd
ln -sf /proc/self/fd/0 /host/dev/stdin
ln -sf /proc/self/fd/1 /host/dev/stdout
ln -sf /proc/self/fd/2 /host/dev/stderr
mkdir -p /host/dev/shm
mount -t tmpfs -o mode=1777 shm /host/dev/shm
mount -t tmpfs -o mode=1777 tmp /host/tmp
mount -t tmpfs -o mode=755 run /host/run
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
# The repository and the build may live below /tmp or /run, which the tmpfs above now hide.
for share in repo:"$REPO" build:"$BUILD"; do
  mkdir -p "/host${share#*:}"
  mount -t 9p -o "$opts" "${share%%:*}" "/host${share#*:}" ||
    echo "FAIL boot: the $share share could not be mounted" >>/results/cases
done
mkdir -p /host/tmp/results
mount -o bind /results /host/tmp/results
if insmod /lib/modules/v4l2loopback.ko exclusive_caps=1 card_label=KivoCam video_nr="$VIDEO_NR" \
  2>>/results/console; then
  chroot /host /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp \
    /bin/bash "$REPO/tests/vm/guest.sh" >>/results/console 2>&1
else
  echo "FAIL boot: v4l2loopback.ko did not load" >>/results/cases
fi
echo done >/results/finished
sync
umount /host/tmp/results 2>/dev/null
umount /results 2>/dev/null
poweroff -f

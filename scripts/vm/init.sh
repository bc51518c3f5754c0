#!/bin/busybox sh
# The VM's first process, in its initramfs: the host's / (read-only, over 9p)
# under a tmpfs overlay becomes the root, with the cached kernel's modules at
# /lib/modules, and systemd takes over with the test's own target.
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /lower /rw /newroot
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
if grep -q kolvd_vm_probe /proc/cmdline; then
    echo kolvd-vm-probe-booted >/dev/ttyS0
    poweroff -f
fi
. /vm.env
while read -r m; do insmod "/modules/$m" || echo "init: insmod $m failed"; done </modules/order
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose host /lower
mount -t tmpfs -o mode=755 tmpfs /rw
mkdir /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /newroot
r=/newroot
mkdir -p "$r/lib/modules" "$r/kolvd-vm"
# From the read-only lower layer: the guest's tmpfiles empties its /tmp.
mount --bind "/lower$vm_modules" "$r/lib/modules"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 work "$r/kolvd-vm"
# The host's /tmp is not the guest's: tmpfiles would empty it at boot, one
# whiteout at a time, over 9p.
mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
# No generators: none serves the test, and every daemon-reload runs them all.
mkdir -p "$r/etc/systemd/system-generators"
for g in "$r"/lib/systemd/system-generators/*; do
    ln -sf /dev/null "$r/etc/systemd/system-generators/${g##*/}"
done
# Otherwise systemd takes itself for a container's and leaves udev out.
rm -f "$r/.dockerenv"
# Nothing of what the host enabled: the test's target pulls what it needs.
rm -f "$r"/etc/systemd/system/*.wants/*
cp /units/* "$r/etc/systemd/system/"
for u in $vm_mask; do ln -sf /dev/null "$r/etc/systemd/system/$u"; done
umount /proc /sys
mount --move /dev "$r/dev"
exec switch_root "$r" /lib/systemd/systemd

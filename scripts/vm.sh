#!/usr/bin/env bash
# A real USB serial adapter under a real kernel, udev and systemd: boots
# Debian's kernel in QEMU over the host's own / and runs the scenarios of
# tests/vm/guest.sh there with the package installed. The adapter is the USB
# serial gadget on the dummy host controller: /dev/ttyACM0 through the
# cdc-acm driver, /dev/ttyGS0 as the device's side. Usage: vm.sh PACKAGE.deb
# The kernel package is kept in $KOLVD_VM_CACHE (default /var/cache/kolvd-vm),
# outside the checkout, and reused. With KOLVD_VM_REQUIRED=1 (CI), a host
# that cannot run the test fails instead of skipping it. KOLVD_VM_SCENARIOS
# names the scenarios of guest.sh to run, in order (default: all).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)/vm
tests=$here/../../tests
deb=$(realpath "$1")
cache=${KOLVD_VM_CACHE:-/var/cache/kolvd-vm}
skip() {
    if [[ ${KOLVD_VM_REQUIRED:-0} == 1 ]]; then
        echo "vm test: cannot run: $*" >&2
        exit 1
    fi
    echo "vm test skipped: $*"
    exit 0
}
[[ $(id -u) -eq 0 ]] || skip "needs root (packages, a kernel cache, the host's / shared)"
. "$here/../need"
# udev: the guest runs the host's systemd-udevd.
need qemu-system-x86_64:qemu-system-x86 /bin/busybox:busybox-static depmod:kmod \
    /lib/systemd/systemd-udevd:udev dpkg-deb:dpkg socat:socat
started=$(date +%s%N)
ms() { echo $((($(date +%s%N) - $1) / 1000000)); }

# The kernel: the version Debian's linux-image-amd64 names now, fetched once.
mkdir -p "$cache"
kernel_dir=$(find "$cache" -mindepth 1 -maxdepth 1 -type d -name '6.1.0-*-amd64' | sort -V | tail -n 1)
if [[ -z $kernel_dir || ! -e $kernel_dir/ready ]]; then
    current() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-6/ {print $2; exit}'; }
    # apt's download user may not write the cache; root fetches it itself.
    fetch() {
        pkg=$(current)
        [[ $pkg == linux-image-6.1.0-*-amd64 ]] || return 1
        version=${pkg#linux-image-}
        kernel_dir=$cache/$version
        rm -rf "$kernel_dir"
        mkdir -p "$kernel_dir"
        (cd "$kernel_dir" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >/dev/null)
    }
    # Stale package lists may name a kernel that is gone: update, try again.
    fetch || { apt-get update -qq >/dev/null && fetch; } || skip "no Debian 6.1 kernel package to fetch"
    dpkg -x "$kernel_dir"/linux-image-*.deb "$kernel_dir/root"
    rm -f "$kernel_dir"/linux-image-*.deb
    depmod -b "$kernel_dir/root" "$version"
    touch "$kernel_dir/ready"
    # Older kernels are of no further use.
    find "$cache" -mindepth 1 -maxdepth 1 -type d -name '6.1.0-*-amd64' ! -path "$kernel_dir" \
        -exec rm -rf {} +
fi
version=$(basename "$kernel_dir")
modules=$kernel_dir/root/lib/modules

work=$(mktemp -d /tmp/kolvd-vm.XXXXXX)
qemu_pid=
cleanup() {
    [[ -n $qemu_pid ]] && kill "$qemu_pid" 2>/dev/null && wait "$qemu_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The initramfs: busybox, the modules that reach the root file system, init.
initrd=$work/initrd
mkdir -p "$initrd/bin" "$initrd/modules" "$initrd/units"
cp /bin/busybox "$initrd/bin/busybox"
cp "$here/init.sh" "$initrd/init"
for m in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -d "$kernel_dir/root" -S "$version" --show-depends "$m"
done | awk '$1 == "insmod" && !seen[$2]++ {print $2}' | while read -r ko; do
    cp "$ko" "$initrd/modules/"
    basename "$ko" >>"$initrd/modules/order"
done
cp "$here"/kolvd-vm.target "$here"/kolvd-vm-test.service "$initrd/units/"
cat >"$initrd/vm.env" <<ENV
vm_modules=$modules
vm_mask='$(tr '\n' ' ' <"$here/masked")'
ENV
(cd "$initrd" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initrd.gz"

cp "$deb" "$work/kolvd.deb"
cp "$tests/vm/guest.sh" "$tests/systemd/peer.py" "$tests/systemd/helpers.sh" "$work/"
mkdir "$work/out"
if [[ -n ${KOLVD_VM_SCENARIOS:-} ]]; then
    echo "$KOLVD_VM_SCENARIOS" >"$work/scenarios"
fi

# KVM only where a short probe boots with it (on some hosts it aborts, or
# hangs after the BIOS); TCG everywhere else.
accel=(-accel tcg -cpu max)
if [[ -r /dev/kvm && -w /dev/kvm ]] &&
    timeout 20 qemu-system-x86_64 -accel kvm -cpu host -m 256 -nodefaults -no-reboot \
        -display none -serial "file:$work/console.log" \
        -kernel "$kernel_dir/root/boot/vmlinuz-$version" -initrd "$work/initrd.gz" \
        -append "console=ttyS0 rdinit=/init panic=-1 quiet kolvd_vm_probe" >/dev/null 2>&1 &&
    grep -q kolvd-vm-probe-booted "$work/console.log"; then
    accel=(-accel kvm -cpu host)
fi
echo "vm test: kernel $version, ${accel[1]}, $(ms "$started") ms to prepare"
qemu-system-x86_64 "${accel[@]}" -m 1024 -smp 2 -nodefaults -no-reboot \
    -display none -serial "file:$work/console.log" \
    -kernel "$kernel_dir/root/boot/vmlinuz-$version" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 rdinit=/init panic=-1 quiet systemd.unit=kolvd-vm.target systemd.show_status=0" \
    -virtfs "local,path=/,mount_tag=host,security_model=passthrough,readonly=on,multidevs=remap" \
    -virtfs "local,path=$work,mount_tag=work,security_model=none" &
qemu_pid=$!
# A bound against a hung VM, not a speed check: the run takes about 3 min
# alone on 2 cores, and longer beside other work.
limit=${KOLVD_VM_TIMEOUT:-420}
SECONDS=0
while ((SECONDS < limit)) && kill -0 "$qemu_pid" 2>/dev/null; do
    sleep 0.2
done
if kill -0 "$qemu_pid" 2>/dev/null; then
    echo "vm test: the VM did not finish within $limit s" >&2
    kill "$qemu_pid"
fi
wait "$qemu_pid" || true
qemu_pid=
cat "$work/out/results" 2>/dev/null || true
if [[ ! -f $work/out/passed ]]; then
    echo "vm test FAILED; console:" >&2
    tail -n 60 "$work/console.log" >&2
    exit 1
fi
echo "vm test passed in $(ms "$started") ms"

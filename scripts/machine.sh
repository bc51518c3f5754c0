# A throw-away systemd machine, sourced by bash scripts (tests/systemd).
#   machine_boot          boots systemd as PID 1 of fresh namespaces over a
#                         tmpfs-backed overlay of /; sets machine_pid
#   machine_run CMD...    runs CMD inside it (every namespace, its root)
#   machine_bg CMD...     the same in the background; killed at teardown
#   machine_teardown      stops it and removes its cgroup
# The host is never written: everything the machine changes lives in the
# overlay's tmpfs upper layer, gone when the machine's mount namespace ends.

machine_dir= machine_cg= machine_unshare= machine_pid=

# Runs as PID 1 of the new namespaces, before systemd replaces it.
machine_init='
set -eu
d=$1
mount -t tmpfs -o mode=700 tmpfs "$d"
mkdir "$d/upper" "$d/work" "$d/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$d/upper,workdir=$d/work" "$d/root"
r=$d/root
mount -t proc proc "$r/proc"
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$r/sys"
mount -t cgroup2 -o nsdelegate,nosuid,nodev,noexec cgroup2 "$r/sys/fs/cgroup"
mount -t tmpfs -o mode=755,nosuid tmpfs "$r/dev"
for n in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0 ptmx:5:2; do
    IFS=: read -r name major minor <<<"$n"
    mknod -m 666 "$r/dev/$name" c "$major" "$minor"
done
mkdir "$r/dev/pts" "$r/dev/shm"
mount --bind /dev/pts "$r/dev/pts"
ln -s /proc/self/fd "$r/dev/fd"
mount -t tmpfs -o mode=755,nosuid,nodev tmpfs "$r/run"
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$r/tmp"
# Only what a bare system needs: none of the host enabled services, and
# nothing that expects real hardware, logins or terminals.
rm -f "$r"/etc/systemd/system/*.wants/*
for u in systemd-udevd.service systemd-udevd-control.socket systemd-udevd-kernel.socket \
    systemd-udev-trigger.service systemd-udev-settle.service systemd-logind.service \
    getty.target getty@.service serial-getty@.service console-getty.service \
    getty-static.service systemd-networkd.service systemd-resolved.service \
    systemd-timesyncd.service cron.service ssh.service systemd-ask-password-wall.path \
    systemd-ask-password-console.path systemd-firstboot.service \
    systemd-random-seed.service systemd-remount-fs.service; do
    ln -sf /dev/null "$r/etc/systemd/system/$u"
done
hostname kolvd-test
cd "$r"
mkdir -p .oldroot
pivot_root . .oldroot
umount -l /.oldroot
rmdir /.oldroot
# The lines of systemd itself go to the machine journal, beside those of the
# units, where a failing test shows them; never to the host console.
exec env -i container=kolvd-test /lib/systemd/systemd --system --log-target=journal
'

machine_boot() {
    machine_dir=$(mktemp -d /tmp/kolvd-machine.XXXXXX)
    # The cgroup2 hierarchy: beside the v1 controllers, or alone.
    machine_cg=/sys/fs/cgroup/kolvd-machine.$$
    [[ -d /sys/fs/cgroup/unified ]] && machine_cg=/sys/fs/cgroup/unified/kolvd-machine.$$
    mkdir "$machine_cg"
    # Joining the machine's own cgroup before unsharing makes it the root of
    # the new cgroup namespace, so systemd manages only that subtree.
    bash -c 'echo $$ >"$1/cgroup.procs" && exec unshare --pid --fork --mount --uts --ipc \
        --net --cgroup --propagation private --kill-child -- bash -c "$2" init "$3"' \
        boot "$machine_cg" "$machine_init" "$machine_dir" </dev/null >"$machine_dir.log" 2>&1 &
    machine_unshare=$!
    local i
    for ((i = 0; i < 100; i++)); do
        machine_pid=$(cat "/proc/$machine_unshare/task/$machine_unshare/children" 2>/dev/null) || true
        machine_pid=${machine_pid%% *}
        [[ -n $machine_pid && $(readlink "/proc/$machine_pid/exe" 2>/dev/null) == */systemd ]] && break
        kill -0 "$machine_unshare" 2>/dev/null || break
        sleep 0.05
    done
    if [[ $(readlink "/proc/$machine_pid/exe" 2>/dev/null) != */systemd ]]; then
        echo "machine: systemd did not start:" >&2
        cat "$machine_dir.log" >&2
        return 1
    fi
    local state
    for ((i = 0; i < 300; i++)); do
        # Until its manager socket exists, systemctl cannot even wait.
        state=$(timeout 30 nsenter -t "$machine_pid" -a systemctl is-system-running --wait 2>&1) || true
        [[ $state == *"Failed to connect to bus"* ]] || break
        sleep 0.02
    done
    if [[ $state != running ]]; then
        echo "machine: system state '$state'" >&2
        machine_run systemctl --no-pager --failed >&2 || true
        return 1
    fi
}

machine_run() {
    nsenter -t "$machine_pid" -a -- "$@"
}

# The pids go to a file, so that jobs started in subshells are killed too.
machine_bg() {
    nsenter -t "$machine_pid" -a -- "$@" &
    echo $! >>"$machine_dir.jobs"
}

machine_teardown() {
    local pid i
    # nsenter does not pass signals on, so its child, the command, is killed;
    # nsenter then reaps it and exits. Killing nsenter first would leave the
    # command to the host's init, and systemd would wait for it at shutdown.
    if [[ -f $machine_dir.jobs ]]; then
        while read -r pid; do
            kill $(cat "/proc/$pid/task/$pid/children" 2>/dev/null) 2>/dev/null || true
            for ((i = 0; i < 40; i++)); do
                [[ $(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null) =~ ^[^Z]$ ]] || break
                sleep 0.05
            done
            kill "$pid" 2>/dev/null || true
        done <"$machine_dir.jobs"
    fi
    if [[ -n $machine_unshare ]]; then
        # SIGRTMIN+4 asks systemd for a poweroff; a container's PID 1 then exits.
        [[ -n $machine_pid ]] && kill -s RTMIN+4 "$machine_pid" 2>/dev/null
        for ((i = 0; i < 100; i++)); do
            kill -0 "$machine_unshare" 2>/dev/null || break
            sleep 0.05
        done
        if kill -0 "$machine_unshare" 2>/dev/null; then
            [[ -n $machine_pid ]] && kill -s KILL "$machine_pid" 2>/dev/null
        fi
        wait "$machine_unshare" 2>/dev/null || true
        machine_unshare=
    fi
    if [[ -n $machine_cg && -d $machine_cg ]]; then
        for ((i = 0; i < 100; i++)); do
            find "$machine_cg" -depth -type d -exec rmdir {} + 2>/dev/null
            [[ -d $machine_cg ]] || break
            sleep 0.05
        done
    fi
    [[ -n $machine_dir ]] && rm -rf "$machine_dir" "$machine_dir.log" "$machine_dir.jobs"
    machine_dir= machine_cg= machine_pid=
}

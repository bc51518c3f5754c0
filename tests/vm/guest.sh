#!/bin/bash
# The scenarios, inside the VM (scripts/vm.sh): the package installed, kolvd@ttyACM0
# enabled, and the USB serial gadget plugged in and out under it. Writes
# /kolvd-vm/out/results, and /kolvd-vm/out/passed when every scenario passed.
set -uo pipefail
vm=/kolvd-vm
out=$vm/out
exec > >(tee -a "$out/results") 2>&1
echo "boot: test started $(cut -d' ' -f1 /proc/uptime) s after the kernel"
unit=kolvd@ttyACM0.service
log=/var/log/kolvd/ttyACM0.log
lock=/run/lock/LCK..ttyACM0
port=/dev/ttyACM0

now() { date +%s%N; }
ms() { echo $((($(now) - $1) / 1000000)); }
fail() {
    echo "FAIL: $*"
    journalctl --no-pager -n 15 -u "$unit" || true
    tail -n 5 "$log" 2>/dev/null
    exit 1
}
# Polls CMD every 20 ms for at most SECONDS (of the clock: in the emulator
# a round of polling takes longer than its sleep).
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        ((SECONDS <= end)) || return 1
        sleep 0.02
    done
}
state() {
    local a r n
    eval "$(systemctl show -p ActiveState -p Result -p NRestarts "${1:-$unit}" |
        sed -n 's/^ActiveState=/a=/p; s/^Result=/r=/p; s/^NRestarts=/n=/p')"
    echo "$a $r $n"
}
main_pid() { systemctl show -p MainPID --value "${1:-$unit}"; }

# The device side: /dev/ttyGS0 held by socat, which answers every byte
# upper-cased ("echo"), or by a sleep that reads nothing ("hold"). (A python
# started for each replug would cost seconds in the emulator, and the shell's
# own read turns CR into NL on a terminal.) device_close ends it and waits,
# since rmmod waits for ever while the gadget's tty is open.
device_pid=
device_open() {
    wait_for 10 test -c /dev/ttyGS0 || fail "no /dev/ttyGS0"
    rm -f /run/device-ready
    if [[ $1 == echo ]]; then
        socat /dev/ttyGS0,rawer,ignoreeof 'EXEC:stdbuf -o0 tr a-z A-Z' 2>/dev/null &
        device_pid=$!
        wait_for 5 eval '[[ $(readlink /proc/'"$device_pid"'/fd/*) == */dev/ttyGS0* ]]' ||
            fail "device side not open"
        return
    fi
    (
        exec 4<>/dev/ttyGS0
        stty raw -echo <&4 # no echo: what it reads goes nowhere
        : >/run/device-ready
        exec sleep 600
    ) &
    device_pid=$!
    wait_for 5 test -e /run/device-ready || fail "device side not open"
}
device_close() {
    [[ -n $device_pid ]] || return 0
    kill -KILL "$device_pid"
    wait "$device_pid" 2>/dev/null
    device_pid=
}
# Clients through the shell's /dev/tcp. first_byte: connects until a byte
# comes back upper-cased, for at most SECONDS.
first_byte() {
    local deadline=$((SECONDS + $1)) c
    while ((SECONDS < deadline)); do
        if exec 3<>/dev/tcp/127.0.0.1/7001; then
            printf x >&3
            if IFS= read -r -t 5 -N 1 c <&3 && [[ $c == X ]]; then
                exec 3<&-
                return 0
            fi
            exec 3<&-
        fi 2>/dev/null
        sleep 0.05
    done
    return 1
}
# Relays until the server closes the connection (status 0), at most 20 s;
# creates /run/stream-ready once bytes came back.
stream() {
    trap '' PIPE
    SECONDS=0
    exec 3<>/dev/tcp/127.0.0.1/7001 || exit 1
    local c rc
    while ((SECONDS < 20)); do
        printf 'relay ' >&3 2>/dev/null || exit 0
        IFS= read -r -t 1 -N 6 c <&3
        rc=$?
        ((rc > 128)) && continue
        [[ $c == RELAY* ]] || exit 0
        : >/run/stream-ready
    done
    exit 1
}
unplug() {
    device_close
    timeout 20 rmmod g_serial || fail "rmmod g_serial"
}
plug() { modprobe g_serial || fail "modprobe g_serial"; }
served_by() { [[ $(state "$1") == active* && -n $(main_pid "$1") && $(main_pid "$1") != 0 ]]; }

byid_unit=
scenario_setup() {
    # Some build hosts forbid service actions in maintainer scripts, and the
    # manual's index would be rebuilt over the whole shared file system.
    rm -f /usr/sbin/policy-rc.d /var/lib/man-db/auto-update
    local t
    t=$(now)
    dpkg --unpack "$vm/kolvd.deb" >/dev/null || fail "dpkg -i"
    echo "  unpacked in $(ms "$t") ms"
    t=$(now)
    dpkg --configure kolvd >/dev/null || fail "dpkg -i"
    echo "  configured in $(ms "$t") ms"
    printf '%s\n' Service=7001 PortBitRate=115200 PortSettings=7E1 FlowControl=RTS IdleTimeout=0 \
        "LogFileName=$log" >/etc/kolvd/ttyACM0.conf
    modprobe dummy_hcd || fail "modprobe dummy_hcd"
}

# Enabled while the adapter is absent: the unit waits, without failing, and
# starts once the adapter is plugged in.
scenario_absent() {
    systemctl enable --now --no-block "$unit" 2>/dev/null || fail "enable"
    wait_for 10 eval 'systemctl list-jobs | grep -q "$unit *start *waiting"' ||
        fail "no start job waiting for the device: $(systemctl list-jobs)"
    [[ $(state) == "inactive success 0" ]] || fail "state while absent: $(state)"
    local t
    t=$(now)
    plug
    wait_for 30 served_by "$unit" || fail "not started when plugged in: $(state)"
    [[ $(state) == "active success 0" ]] || fail "started after failures: $(state)"
    echo "  plugged in, served after $(ms "$t") ms"
}

# Bytes both ways: the device answers every byte upper-cased.
scenario_relay() {
    device_open echo
    first_byte 10 || fail "nothing relayed"
    python3 "$vm/client.py" client 7001 || fail "relay"
}

# The setup file's line settings, as the real driver holds them.
scenario_line() {
    local line
    line=$(stty -F /dev/ttyACM0 -a | head -n 1)
    echo "  stty: $line"
    stty -F /dev/ttyACM0 -a | tr ' ;' '\n\n' >/run/stty
    for want in 115200 cs7 parenb -parodd -cstopb crtscts; do
        grep -qx -- "$want" /run/stty || fail "stty lacks $want"
    done
    echo "  stty flags: $(grep -xE -- '-?(cs[5-8]|parenb|parodd|cstopb|crtscts)' /run/stty | paste -sd' ')"
}

# Unplugged: the server says the port hung up, ends cleanly and removes its
# lock; the unit stops with its device.
unplugged() {
    local pid=$1
    wait_for 10 eval '! kill -0 '"$pid"' 2>/dev/null' || fail "server $pid still running"
    tail -n 2 "$log" | head -n 1 | grep -qF "kolvd: serial port $port hung up" ||
        fail "no hang-up line for $port before the last"
    tail -n 1 "$log" | grep -q "\] SHUTDOWN kolvd server for $port\$" || fail "no SHUTDOWN line last"
    ! grep -q "Could not remove lock file" "$log" || fail "lock not removed by the server"
    test ! -e "$lock" || fail "lock left"
    wait_for 10 eval '[[ $(state) == "inactive success "* ]]' || fail "unit after unplug: $(state)"
}

# Replug cycles: each serves again by itself; the time from the replug to
# the first byte relayed is measured. Every other unplug comes while a
# client relays, which then sees its connection close.
scenario_replug() {
    local cycles=${1:-20} i pid t first firsts=() stream
    for ((i = 1; i <= cycles; i++)); do
        pid=$(main_pid)
        : >"$log"
        if ((i % 2 == 0)); then
            rm -f /run/stream-ready
            stream &
            stream=$!
            wait_for 10 test -e /run/stream-ready || fail "cycle $i: not relaying"
            unplug
            wait "$stream" || fail "cycle $i: the client did not see its connection close"
        else
            unplug
        fi
        unplugged "$pid"
        t=$(now)
        plug
        device_open echo
        first_byte 15 || fail "cycle $i: nothing relayed after the replug"
        first=$(ms "$t")
        firsts+=("$first")
        echo "  cycle $i: $first ms"
    done
    printf '%s\n' "${firsts[@]}" | sort -n | awk '{a[NR] = $1} END {
        printf "  replug to first byte over %d cycles: median %d ms, max %d ms\n", NR,
            (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2), a[NR]}'
}

# The stable by-id name: its lock is the device's own, in no directory of
# its own, and it serves again after a replug.
scenario_by_id() {
    systemctl disable --now "$unit" 2>/dev/null
    local link name pid
    link=$(find /dev/serial/by-id -name 'usb-Linux_*Gadget_Serial*-if00' | head -n 1)
    [[ -n $link ]] || fail "no by-id link"
    name=$(systemd-escape -p "${link#/dev/}" 2>/dev/null)
    byid_unit="kolvd@$name.service"
    log=/var/log/kolvd/by-id.log
    port=$link
    printf '%s\n' Service=7001 IdleTimeout=0 "LogFileName=$log" >"/etc/kolvd/$name.conf"
    systemctl enable --now "$byid_unit" || fail "enable $byid_unit"
    wait_for 10 served_by "$byid_unit" || fail "$byid_unit not serving: $(state "$byid_unit")"
    pid=$(main_pid "$byid_unit")
    [[ $(cat "$lock" 2>/dev/null) -eq $pid ]] || fail "$lock does not hold $pid: $(ls /run/lock)"
    [[ ! -e /run/lock/LCK..serial ]] || fail "a lock directory under the by-id name"
    first_byte 10 || fail "nothing relayed by id"
    unit=$byid_unit
    unplug
    unplugged "$pid"
    plug
    device_open echo
    first_byte 15 || fail "by-id: nothing relayed after the replug"
    systemctl disable --now "$unit" 2>/dev/null
}

# Shutdown while the port's output is full: the device takes nothing and a
# client keeps sending. The server ends promptly, lock removed.
stop_within() {
    local how=$1 pid=$2 t
    shift 2
    rm -f /run/flood-ready
    python3 "$vm/peer.py" 7001 /run/flood-ready &
    wait_for 10 test -e /run/flood-ready || fail "$how: sends never blocked"
    t=$(now)
    "$@" >/dev/null || fail "$how failed"
    wait_for 5 eval '! kill -0 '"$pid"' 2>/dev/null' || fail "$how: server still running after 5 s"
    echo "  $how with output pending: server gone after $(ms "$t") ms"
    # The driver's closing wait is 30 s; the command's own start in the
    # emulator can take a second.
    (($(ms "$t") < 5000)) || fail "$how took over 5 s"
    test ! -e "$lock" || fail "$how: lock left"
}
scenario_pending_output() {
    device_close
    device_open hold
    unit=kolvd@ttyACM0.service
    log=/var/log/kolvd/ttyACM0.log
    systemctl start "$unit" || fail "start"
    wait_for 10 served_by "$unit" || fail "not serving"
    stop_within "systemctl stop" "$(main_pid)" systemctl stop "$unit"
    kolvd -f /var/log/kolvd/hand.log -d 0 ttyACM0 7001 >/dev/null || fail "kolvd by hand"
    stop_within "kolvd -S" "$(cat "$lock")" kolvd -S ttyACM0
    device_close
}

# The scenarios build on each other's state; the first failure ends the run.
total=$(now)
scenarios="setup absent relay line replug by_id pending_output"
[[ -n $(cat "$vm/scenarios" 2>/dev/null) ]] && scenarios=$(cat "$vm/scenarios")
for s in $scenarios; do
    t=$(now)
    "scenario_$s"
    printf 'ok   %-16s %6d ms\n' "$s" "$(ms "$t")"
done
echo "scenarios: $(ms "$total") ms"
touch "$out/passed"

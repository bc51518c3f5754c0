#!/bin/bash
# The scenarios, inside the VM (scripts/vm.sh): the package installed, kolvd@ttyACM0
# enabled, and the USB serial gadget plugged in and out under it. Writes
# /kolvd-vm/out/results, and /kolvd-vm/out/passed when every scenario passed.
set -uo pipefail
vm=/kolvd-vm
exec > >(tee -a "$vm/out/results") 2>&1
echo "boot: test started $(cut -d' ' -f1 /proc/uptime) s after the kernel"
unit=kolvd@ttyACM0.service log=/var/log/kolvd/ttyACM0.log port=/dev/ttyACM0
lock=/run/lock/LCK..ttyACM0
run=
. "$vm/helpers.sh"

fail() {
    echo "FAIL: $*"
    journalctl --no-pager -n 15 -u "$unit" || true
    tail -n 5 "$log" 2>/dev/null
    exit 1
}
gone() { wait_for "$2" eval '! kill -0 '"$1"' 2>/dev/null'; }

# The device side: socat holds /dev/ttyGS0 and answers every byte
# upper-cased; a mute one holds it raw and reads nothing (socat -U ends at
# once: its command's input is closed). (A python started for each replug
# would cost seconds in the emulator.) device_close ends it, since rmmod
# waits for ever while the gadget's tty is open.
device_pid=
device_open() {
    device_close
    wait_for 10 test -c /dev/ttyGS0 || fail "no /dev/ttyGS0"
    if [[ ${1:-} == mute ]]; then
        sh -c 'stty raw -echo && exec sleep 600' <>/dev/ttyGS0 &
    else
        socat /dev/ttyGS0,rawer,ignoreeof 'EXEC:stdbuf -o0 tr a-z A-Z' 2>/dev/null &
    fi
    device_pid=$!
    wait_for 5 eval '[[ $(readlink /proc/'"$device_pid"'/fd/*) == */dev/ttyGS0* ]]' ||
        fail "device side not open"
}
device_close() {
    if [[ -n $device_pid ]]; then kill -KILL "$device_pid" && wait "$device_pid" 2>/dev/null; fi
    device_pid=
}
# A client through the shell's /dev/tcp: connects until a byte comes back
# upper-cased, for at most SECONDS.
first_byte() {
    local deadline=$((SECONDS + $1)) c=
    while ((SECONDS < deadline)); do
        { exec 3<>/dev/tcp/127.0.0.1/7001 && printf x >&3 && IFS= read -r -t 5 -N 1 c <&3; } 2>/dev/null
        exec 3<&-
        [[ $c == X ]] && return 0
        sleep 0.05
    done
    return 1
}
plug() { modprobe g_serial || fail "modprobe g_serial"; }
# Unplugged, the server says the port hung up, ends cleanly and removes its
# lock; the unit stops with its device. Plugged back, it relays again:
# replugged is set to the time from the plug to the first byte (ms).
replug() {
    local pid t lines=()
    read -r pid <"$lock"
    : >"$log"
    device_close
    timeout 20 rmmod g_serial || fail "rmmod g_serial"
    gone "$pid" 10 || fail "server $pid still running"
    mapfile -t lines <"$log" # (a builtin: each program run costs in the emulator)
    [[ ${lines[*]: -2:1} == *"kolvd: serial port $port hung up" ]] || fail "no hang-up line before the last"
    [[ ${lines[*]: -1} == *"] SHUTDOWN kolvd server for $port" ]] || fail "no SHUTDOWN line last"
    test ! -e "$lock" || fail "lock left"
    wait_for 10 eval '[[ $(unit_state) == "inactive success "* ]]' || fail "unit after unplug: $(unit_state)"
    t=$(now)
    plug
    device_open
    first_byte 15 || fail "nothing relayed after the replug"
    replugged=$(ms "$t")
}

# Installed, and enabled while the adapter is absent: the unit waits,
# without failing, and starts once the adapter is plugged in.
scenario_absent() {
    # Some build hosts forbid service actions in maintainer scripts, and the
    # manual's index would be rebuilt over the whole shared file system.
    rm -f /usr/sbin/policy-rc.d /var/lib/man-db/auto-update
    dpkg -i "$vm/kolvd.deb" >/dev/null || fail "dpkg -i"
    printf '%s\n' Service=7001 PortBitRate=115200 PortSettings=7E1 FlowControl=RTS IdleTimeout=0 \
        "LogFileName=$log" >/etc/kolvd/ttyACM0.conf
    modprobe dummy_hcd || fail "modprobe dummy_hcd"
    systemctl enable --now --no-block "$unit" 2>/dev/null || fail "enable"
    wait_for 10 eval 'systemctl list-jobs | grep -q "$unit *start *waiting"' ||
        fail "no start job waiting for the device: $(systemctl list-jobs)"
    [[ $(unit_state) == "inactive success 0" ]] || fail "state while absent: $(unit_state)"
    local t
    t=$(now)
    plug
    wait_for 30 eval '[[ $(unit_state) == "active success 0" ]]' || fail "plugged in, not started: $(unit_state)"
    echo "  plugged in, served after $(ms "$t") ms"
}

# Bytes both ways (the device answers every byte upper-cased), and the setup
# file's line settings as the real driver holds them.
scenario_relay() {
    local a want
    device_open
    python3 "$vm/peer.py" client 7001 || fail "relay"
    a=" $(stty -F "$port" -a | tr -s ' ;\n' ' ')"
    echo "  stty -a:$a"
    for want in "speed 115200 baud" cs7 parenb -parodd -cstopb crtscts; do
        [[ $a == *" $want "* ]] || fail "stty lacks $want"
    done
}

# Replug cycles, each unplugged while a client relays: the client sees its
# connection close (at its end or reset), and the unit serves again by
# itself; the time from the replug to the first byte relayed is measured.
# (The by-id scenario unplugs an idle port.)
scenario_replug() {
    local i c='' writer firsts=() sorted
    for ((i = 1; i <= 20; i++)); do
        exec 4<>/dev/tcp/127.0.0.1/7001 || fail "cycle $i: no connection"
        (while printf 'relay '; do sleep 0.1; done) >&4 2>/dev/null &
        writer=$!
        IFS= read -r -t 10 -N 6 c <&4 && [[ $c == "RELAY " ]] || fail "cycle $i: not relaying"
        replug
        timeout 10 cat <&4 >/dev/null
        (($? != 124)) || fail "cycle $i: the client's connection stayed open"
        kill "$writer" 2>/dev/null && wait "$writer"
        exec 4<&-
        firsts+=("$replugged")
        echo "  cycle $i: $replugged ms"
    done
    mapfile -t sorted < <(printf '%s\n' "${firsts[@]}" | sort -n)
    echo "  replug to first byte over 20 cycles: median $(((sorted[9] + sorted[10]) / 2)) ms, max ${sorted[19]} ms"
}

# The stable by-id name, instead of ttyACM0 from here on: its lock is the
# device's own, and it serves again after a replug.
scenario_by_id() {
    systemctl disable --now "$unit" 2>/dev/null
    local name pid
    port=$(echo /dev/serial/by-id/usb-Linux_*Gadget_Serial*-if00)
    [[ -e $port ]] || fail "no by-id link"
    name=$(systemd-escape -p "${port#/dev/}" 2>/dev/null)
    unit=kolvd@$name.service log=/var/log/kolvd/by-id.log
    printf '%s\n' Service=7001 IdleTimeout=0 "LogFileName=$log" >"/etc/kolvd/$name.conf"
    systemctl enable --now "$unit" 2>/dev/null || fail "enable $unit"
    pid=$(main_pid)
    [[ $(cat "$lock") -eq $pid ]] || fail "$lock does not hold the server's pid $pid: $(ls /run/lock)"
    first_byte 10 || fail "nothing relayed by id"
    replug
}

# Shutdown while the port's output is full: the device takes nothing and a
# client keeps sending. The server ends promptly, lock removed.
stop_within() {
    local how=$1 pid=$2 t
    shift 2
    rm -f /run/flood-ready
    python3 "$vm/peer.py" flood 7001 /run/flood-ready &
    wait_for 10 test -e /run/flood-ready || fail "$how: sends never blocked"
    t=$(now)
    "$@" >/dev/null || fail "$how failed"
    gone "$pid" 5 || fail "$how: server still running after 5 s"
    echo "  $how with output pending: server gone after $(ms "$t") ms"
    # The driver's closing wait is 30 s; the command's own start in the
    # emulator can take a second.
    (($(ms "$t") < 5000)) || fail "$how took over 5 s"
    test ! -e "$lock" || fail "$how: lock left"
}
scenario_pending_output() {
    device_open mute
    stop_within "systemctl stop" "$(main_pid)" systemctl stop "$unit"
    kolvd -f /var/log/kolvd/hand.log -d 0 ttyACM0 7001 >/dev/null || fail "kolvd by hand"
    stop_within "kolvd -S" "$(cat "$lock")" kolvd -S ttyACM0
}

# The scenarios build on each other's state; the first failure ends the run.
total=$(now)
scenarios="absent relay replug by_id pending_output"
[[ -n $(cat "$vm/scenarios" 2>/dev/null) ]] && scenarios=$(cat "$vm/scenarios")
for s in $scenarios; do
    t=$(now)
    "scenario_$s"
    printf 'ok   %-16s %6d ms\n' "$s" "$(ms "$t")"
done
echo "scenarios: $(ms "$total") ms"
touch "$vm/out/passed"

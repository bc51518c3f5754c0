#!/usr/bin/env bash
# The Debian package's unit under a real systemd: installs the .deb inside a
# throw-away machine (scripts/machine.sh) and drives kolvd@ttyKV0 on a
# pseudo-terminal. Usage: unit_test.sh PACKAGE.deb
# KOLVD_SHOW_STATUS=1 also prints what an administrator sees: systemctl
# status with a client connected, journalctl -p err after a failed start.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb=$1
skip() { echo "unit test skipped: $*" && exit 0; }
cg=/sys/fs/cgroup
[[ $(id -u) -eq 0 && -x /lib/systemd/systemd && (-d $cg/unified || -f $cg/cgroup.procs) ]] &&
    unshare --pid --fork --mount --uts --ipc --net --cgroup true 2>/dev/null ||
    skip "needs root, systemd, a cgroup2 hierarchy and namespaces (a container without privileges?)"
. "$here/../../scripts/machine.sh"
run=inside
. "$here/helpers.sh"

trap machine_teardown EXIT
started=$(now)
machine_boot
echo "machine up in $(ms "$started") ms"

unit=kolvd@ttyKV0.service
log=/var/log/kolvd/ttyKV0.log
inside() { machine_run "$@"; }
fail() {
    echo "FAIL: $*" >&2
    inside journalctl --no-pager -n 20 -u "$unit" | cut -c1-200 >&2 || true
    exit 1
}
# The unit's setup file: Service=7001 and the given lines.
setup() { inside sh -c "printf 'Service=7001\n$*' >/etc/kolvd/ttyKV0.conf"; }
# The unit's journal since this scenario's mark, if it made one: a line
# "PRIORITY MESSAGE" per record. (With --after-cursor and a match, systemd 252
# skips the first record that matches when the cursor's own does not: so the
# mark is the unit's last record, and priorities are not asked of journalctl.)
cursor=
mark() { cursor=$(inside journalctl -u "$unit" -n 0 --show-cursor | sed -n 's/^-- cursor: //p'); }
journal() {
    inside journalctl --no-pager -q --all -u "$unit" ${cursor:+--after-cursor="$cursor"} \
        -o json --output-fields=PRIORITY,MESSAGE |
        python3 -c 'import json, sys; [print(e["PRIORITY"], e["MESSAGE"]) for e in map(json.loads, sys.stdin)]'
}
# Waits until the journal since the mark holds each "PRIORITY TEXT". (Not
# grep -q: with pipefail, journalctl cut short would fail.)
journal_has() {
    local l
    for l; do
        wait_for 5 eval 'journal | grep -F -- "${l#? }" | grep "^${l%% *} "' || fail "not in the journal: $l"
    done
}
status_text() { inside systemctl show -p StatusText --value "$unit"; }
# Waits until the unit's status line matches PATTERN.
status_is() {
    local want=$1
    wait_for 5 eval '[[ $(status_text) == $want ]]' || fail "status: $(status_text)"
}
# Waits until a server other than pid OLD serves.
restarted_from() {
    wait_for 10 eval '[[ $(main_pid) != 0 && $(main_pid) != '"$1"' && $(unit_state) == active* ]]'
}
# A pseudo-terminal has no device unit: its instance turns the binding off,
# as the unit's comment tells an administrator to.
binding_off() {
    inside mkdir -p "/etc/systemd/system/$1.d"
    inside ln -sfn /dev/null "/etc/systemd/system/$1.d/device.conf"
    inside systemctl daemon-reload
}
# Without that every later start fails on a dependency: a scenario that
# takes it away fails itself, and the binding is turned off again.
binding_kept() {
    inside test -L "/etc/systemd/system/$unit.d/device.conf" ||
        { echo "FAIL: the device binding is on again" >&2 && binding_off "$unit" && false; }
}

inside sh -c 'cat >/root/kolvd.deb' <"$deb"
inside sh -c 'cat >/root/peer.py' <"$here/peer.py"

# The port is a link to a pseudo-terminal, so it is locked as pts/N: its
# directory is made as the README says.
machine_bg python3 /root/peer.py device /dev/ttyKV0 >/dev/null
wait_for 5 inside test -c /dev/ttyKV0 || { echo "FAIL: no pseudo-terminal" >&2; exit 1; }
pts=$(inside readlink -f /dev/ttyKV0)
lock=/run/lock/LCK..${pts#/dev/}
inside install -d -m 1777 /run/lock/LCK..pts

scenario_install() {
    # Some build hosts forbid service actions in maintainer scripts; a
    # system the package is installed on does not.
    inside rm -f /usr/sbin/policy-rc.d
    inside dpkg -i /root/kolvd.deb >/dev/null || fail "dpkg -i"
    inside id -nG kolvd | grep -qw dialout || fail "user kolvd not in group dialout"
    setup 'IdleTimeout=0\nDebugMode=yes\n'
    # (The start shows that it worked; the VM test, the binding of a real port.)
    binding_off "$unit"
}

# The man page's first example, right after installation: /var/log/kolvd
# exists. (The launcher fails unless its server opened the log and serves.)
scenario_by_hand() {
    inside /usr/sbin/kolvd -f /var/log/kolvd/hand.log -d 0 ttyKV0 7002 >/dev/null || fail "by hand: start"
    inside python3 /root/peer.py client 7002 || fail "by hand: relay"
    inside /usr/sbin/kolvd -S ttyKV0 >/dev/null || fail "by hand: -S"
    wait_for 5 inside test ! -e "$lock" || fail "by hand: lock left"
}

scenario_start() {
    inside systemctl start "$unit" || fail "start"
    local pid
    pid=$(main_pid)
    [[ $(inside ps -o user= -p "$pid") == kolvd ]] || fail "server does not run as kolvd"
    [[ $(inside awk '/^CapEff/ {print $2}' "/proc/$pid/status") == 0000000000000000 ]] ||
        fail "server has capabilities"
    [[ $(inside stat -c %U "$lock") == kolvd && $(inside cat "$lock") -eq $pid ]] ||
        fail "lock $lock does not hold the server's pid $pid"
    inside python3 /root/peer.py client 7001 || fail "relay"
}

# The log is the journal, one record per line, each at its priority, and no
# file is written.
scenario_journal() {
    journal_has "6 STARTING kolvd Ver 7.24 server for /dev/ttyKV0" "7 Open and setup serial port /dev/ttyKV0" \
        "6 127.0.0.1 connects to /dev/ttyKV0" "7 kolvd got:<70h><69h>" "6 127.0.0.1 disconnects from /dev/ttyKV0"
    [[ $(journal | grep -c "STARTING kolvd") == 1 ]] || fail "STARTING not once: $(journal | grep -c STARTING)"
    [[ $(journal | grep -c '^. <') == 0 ]] || fail "a priority prefix reached the journal's text"
    inside test ! -e "$log" || fail "a log file was written"
}

# The unit's status names the port while nobody is connected, and the client
# while one is; the README's way to drop it frees the port.
scenario_status() {
    status_is "Listening on TCP port 7001 for /dev/ttyKV0"
    machine_bg python3 /root/peer.py hold 7001
    status_is "Serving 127.0.0.1 since [0-2][0-9]:[0-5][0-9]:[0-5][0-9]"
    if [[ -n ${KOLVD_SHOW_STATUS:-} ]]; then inside systemctl status --no-pager "$unit"; fi
    inside systemctl kill -s SIGUSR1 "$unit"
    status_is "Listening on TCP port 7001 for /dev/ttyKV0"
    journal_has "6 REINITIALIZE kolvd server on /dev/ttyKV0"
    inside python3 /root/peer.py client 7001 || fail "relay after the drop"
    [[ $(journal | grep -c "notification message") == 0 ]] || fail "systemd refused a status line"
}

# The documented drop-in: only the allowed address reaches the port; another
# one's connect times out. (At run time, away from the binding's drop-in.)
scenario_ip_filter() {
    local conf=/run/systemd/system/$unit.d/ip-filter.conf
    inside mkdir -p "${conf%/*}"
    inside sh -c "sed 's/^IPAddressAllow=.*/IPAddressAllow=127.0.0.2/' \
        /usr/share/doc/kolvd/ip-filter.conf >$conf"
    inside systemctl daemon-reload
    inside systemctl restart "$unit" || fail "restart with the IP filter"
    inside python3 /root/peer.py client 7001 127.0.0.2 || fail "allowed address refused"
    inside python3 /root/peer.py refused 7001 127.0.0.1 || fail "filtered address let through"
    # The filter holds until the next start.
    inside rm "$conf"
    inside systemctl daemon-reload
}

scenario_security() {
    local line
    line=$(inside systemd-analyze security "$unit" | grep 'Overall exposure level')
    echo "  $line"
    awk '{exit !($(NF-1) <= 2.5)}' <<<"${line//[^0-9. A-Za-z]/}" || fail "exposure above 2.5"
}

scenario_stop() {
    mark
    inside systemctl stop "$unit"
    [[ $(unit_state) == "inactive success 0" ]] || fail "state after stop: $(unit_state)"
    inside test ! -e "$lock" || fail "lock left after stop"
    journal_has "6 SHUTDOWN kolvd server for /dev/ttyKV0"
}

# A log file, when the setup file names one, is readable by kolvd and the
# group adm only: debug dumps hold everything typed.
scenario_private_log() {
    setup "IdleTimeout=0\nDebugMode=yes\nLogFileName=$log\n"
    inside systemctl start "$unit" || fail "start with a log file"
    inside python3 /root/peer.py client 7001 || fail "relay"
    wait_for 5 inside runuser -u nobody -g adm -- grep -q "kolvd got:" "$log" || fail "no dump that adm can read"
    inside runuser -u nobody -- cat "$log" >/dev/null 2>&1 && fail "nobody can read the log"
    inside systemctl stop "$unit"
    setup 'IdleTimeout=0\n'
}

# The lock is world-writable: a pid that any local user plants in it must not
# be signalled on stop, and must not keep the next start from working.
scenario_planted_pid() {
    local victim
    inside systemctl start "$unit" || fail "start"
    machine_bg sleep 600
    wait_for 5 eval 'victim=$(inside pgrep -x sleep)' || fail "no sleep"
    # Not O_CREAT, which the kernel refuses on another's file in a sticky directory.
    inside runuser -u nobody -- sh -c "printf '%10d\n' $victim | dd of=$lock conv=nocreat status=none"
    [[ $(inside cat "$lock") -eq $victim ]] || fail "could not plant a pid"
    inside systemctl stop "$unit"
    inside kill -0 "$victim" || fail "stop signalled the pid planted in the lock"
    inside systemctl start "$unit" || fail "start after a planted pid"
}

scenario_kill9() {
    local old
    old=$(main_pid)
    # Never pid 0: kill(0) would reach the host side's process group.
    [[ $old -gt 1 ]] || fail "no server to kill: $(unit_state)"
    inside kill -9 "$old"
    restarted_from "$old" || fail "not restarted after kill -9: $(unit_state)"
    [[ $(inside cat "$lock") -eq $(main_pid) ]] || fail "lock does not hold the new pid"
    journal_has "6 Removed stale lock file /var/lock/LCK..${pts#/dev/} (pid $old "
}

# A hang-up that leaves the port in place (a line that drops) ends the server
# cleanly, says so, and the unit serves the port again.
scenario_hang_up() {
    local old
    mark
    old=$(main_pid)
    inside kill -USR1 "$(inside pgrep -f 'peer.py device')"
    restarted_from "$old" || fail "not serving again after a hang-up: $(unit_state)"
    journal_has "6 kolvd: serial port /dev/ttyKV0 hung up" "6 SHUTDOWN kolvd server for /dev/ttyKV0"
}

# A lock whose pid still has the port open is never removed.
scenario_live_lock_kept() {
    inside /usr/libexec/kolvd/clear-stale-lock /dev/ttyKV0
    [[ $(inside cat "$lock") -eq $(main_pid) ]] || fail "live lock removed"
    inside systemctl stop "$unit"
}

# A start-up failure makes "systemctl start" fail, with the reason at err in
# the journal once a try, whether the server wrote it there or, with a log
# file, the launcher repeats it. kolvd exits 1 for each, so the unit cannot
# tell one that may pass from one that cannot: it retries every 1 s and
# gives up at the start limit.
failed_start() {
    local setting=$1 reason=$2 line
    inside systemctl reset-failed "$unit" 2>/dev/null
    inside sh -c "printf '$setting\n' >/etc/kolvd/ttyKV0.conf"
    mark
    ! inside systemctl start "$unit" 2>/dev/null || fail "start succeeded with $setting"
    # Five starts within 10 s, the sixth refused by the start limit.
    wait_for 15 eval '[[ $(unit_state) == "failed exit-code 5" ]]' ||
        fail "not given up at the start limit: $(unit_state)"
    for line in "$reason" "Server not started, due to previous error"; do
        wait_for 5 eval '[[ $(journal | grep -F -- "$line" | grep -c "^3 ") == 5 ]]' ||
            fail "'$line' not 5 times at priority err in 5 tries: $(journal | grep -F -- "$line")"
    done
    inside test ! -e "$lock" || fail "lock left after a failed start"
}

# A service name unknown to the host, and a TCP port that another program
# holds.
scenario_failed_start() {
    failed_start "Service=nosuchservice\nLogFileName=$log" 'nosuchservice - no such service on this host'
    # (create_server sets SO_REUSEADDR: connections that the server closed
    # first linger on the port, and a listener there still makes the bind fail.)
    machine_bg python3 -c 'import socket, time
s = socket.create_server(("0.0.0.0", 7001)); open("/run/listening", "w").close(); time.sleep(600)'
    wait_for 5 inside test -e /run/listening || fail "no listener"
    failed_start 'Service=7001' 'kolvd: bind: Address already in use'
    if [[ -n ${KOLVD_SHOW_STATUS:-} ]]; then inside journalctl --no-pager -u "$unit" -p err; fi
}

# clear-stale-lock runs as root on a file that any user can write, and keep
# alive through a hard link: it acts only on a lock with one link, reads no
# more of it than a server writes, and looks at few of its pid's descriptors.
scenario_hostile_lock() {
    local script=/usr/libexec/kolvd/clear-stale-lock holder n
    plant() { inside sh -c "rm -f $lock && $1 >$lock && chown kolvd:kolvd $lock"; }
    traced() { inside strace -f -y -o /run/trace -e trace="$1" "$script" /dev/ttyKV0 >/dev/null; }
    plant "printf '%10d\n' 999999"
    inside ln "$lock" /run/lock/kept
    inside "$script" /dev/ttyKV0 | grep -q "Kept lock file /var/lock/LCK..${pts#/dev/}: it has 2 links" ||
        fail "no word of a lock with two links"
    inside test -e "$lock" || fail "a lock with two links removed"
    inside rm /run/lock/kept

    plant "head -c 20000 /dev/zero | tr '\\0' 1"
    traced read
    n=$(inside grep "^[0-9]* *read([0-9]*<$lock>" /run/trace | awk '{s += $NF} END {print s + 0}')
    ((n <= 16)) || fail "read $n bytes of a long lock"

    machine_bg runuser -u kolvd -- bash -c 'ulimit -n 4096 && for ((i = 10; i < 2010; i++)); do
        eval "exec $i</dev/null"; done && echo $$ >/tmp/holder && exec sleep 600'
    wait_for 5 eval 'holder=$(inside cat /tmp/holder) && [[ -n $holder ]]' || fail "no holder of descriptors"
    plant "printf '%10d\n' $holder"
    traced stat,newfstatat,statx,lstat
    n=$(inside grep -c "/proc/$holder/fd/" /run/trace || true)
    ((n <= 64)) || fail "looked at $n descriptors of pid $holder"
    inside test ! -e "$lock" || fail "a lock of a pid without the port kept"
    inside kill "$holder"
}

# What no retry can mend fails at once: no setup file, no port.
scenario_missing() {
    local what u=kolvd@ttyKV9.service
    binding_off $u
    for what in /etc/kolvd/ttyKV9.conf /dev/ttyKV9; do
        inside sh -c "printf 'Service=7009\nLogFileName=$log\n' >/etc/kolvd/ttyKV9.conf"
        inside ln -sf "$pts" /dev/ttyKV9
        inside rm "$what"
        ! inside systemctl start $u 2>/dev/null || fail "started without $what"
        [[ $(inside systemctl show -p AssertResult -p NRestarts $u | sort | paste -sd' ') == \
            "AssertResult=no NRestarts=0" ]] || fail "without $what: not refused by its assertion"
    done
}

# Reinstalling runs postinst as an upgrade: a running instance moves to the
# new binary.
scenario_upgrade() {
    local old
    inside sh -c 'printf "Service=7003\n" >/etc/kolvd/ttyKV0.conf'
    inside systemctl start "$unit" || fail "start"
    old=$(main_pid)
    inside dpkg -i /root/kolvd.deb >/dev/null 2>&1
    [[ $(unit_state) == "active success 0" && $(main_pid) != "$old" ]] ||
        fail "not restarted by the upgrade: $(unit_state)"
}

scenario_purge() {
    inside systemctl enable "$unit" 2>/dev/null
    inside test -L "/etc/systemd/system/dev-ttyKV0.device.wants/$unit" || fail "enable made no link"
    inside dpkg --purge kolvd >/dev/null 2>&1
    inside pgrep -x kolvd >/dev/null && fail "purge left a server running"
    inside test ! -e /var/log/kolvd || fail "purge left /var/log/kolvd"
    inside test ! -e /usr/lib/systemd/system/kolvd@.service || fail "purge left the unit"
    inside test ! -e /etc/systemd/system/dev-ttyKV0.device.wants || fail "purge left an empty .wants"
}

# Each scenario leaves the unit stopped or running as the next one expects;
# after a failure the others still run, to show everything that is wrong.
failed=0
for s in install by_hand start journal status security ip_filter stop private_log planted_pid \
    kill9 hang_up live_lock_kept hostile_lock missing failed_start upgrade purge; do
    t=$(now)
    # Each scenario starts with the unit's start limit as new.
    inside systemctl reset-failed "$unit" 2>/dev/null || true
    result=ok
    ("scenario_$s") && binding_kept || { result=FAIL; failed=1; }
    printf '%-4s %-16s %5d ms\n' "$result" "$s" "$(ms "$t")"
done
echo "unit test $( ((failed)) && echo FAILED || echo passed) in $(ms "$started") ms"
exit $failed

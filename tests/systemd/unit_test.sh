#!/usr/bin/env bash
# The Debian package's unit under a real systemd: installs the .deb inside a
# throw-away machine (scripts/machine.sh) and drives kolvd@ttyKV0 on a
# pseudo-terminal. Usage: unit_test.sh PACKAGE.deb
# With KOLVD_SHOW_STATUS=1 it also prints what an administrator sees:
# systemctl status with a client connected, journalctl -p err after a
# failed start.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb=$1
skip() { echo "unit test skipped: $*" && exit 0; }
[[ $(id -u) -eq 0 ]] || skip "needs root (namespaces, a systemd of its own)"
[[ -x /lib/systemd/systemd && (-d /sys/fs/cgroup/unified || -f /sys/fs/cgroup/cgroup.procs) ]] ||
    skip "no systemd or no cgroup2 hierarchy on this host"
unshare --pid --fork --mount --uts --ipc --net --cgroup true 2>/dev/null ||
    skip "namespaces cannot be created here (a container without privileges?)"
. "$here/../../scripts/machine.sh"

trap machine_teardown EXIT
started=$(date +%s%N)
machine_boot
echo "machine up in $((($(date +%s%N) - started) / 1000000)) ms"

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
        python3 -c 'import json, sys
for e in map(json.loads, sys.stdin): print(e["PRIORITY"], e["MESSAGE"])'
}
# Waits until the journal since the mark holds TEXT, at priority PRIO (0-7)
# if given. (Not grep -q: with pipefail, journalctl cut short would fail.)
journal_has() {
    local text=$1 prio=${2:-[0-7]}
    wait_for 5 eval 'journal | grep -F -- "$text" | grep "^$prio "'
}
status_text() { inside systemctl show -p StatusText --value "$unit"; }
# Polls CMD every 50 ms for at most SECONDS of the clock (a round may take
# longer than its sleep on a busy host).
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        ((SECONDS <= end)) || return 1
        sleep 0.05
    done
}
main_pid() { inside systemctl show -p MainPID --value "$unit"; }
unit_state() {
    inside systemctl show -p ActiveState -p Result -p NRestarts "$unit" |
        awk -F= '{v[$1] = $2} END {print v["ActiveState"], v["Result"], v["NRestarts"]}'
}
# Waits until a server other than pid OLD serves.
restarted_from() {
    wait_for 10 eval '[[ $(main_pid) != 0 && $(main_pid) != '"$1"' && $(unit_state) == active* ]]'
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
    # A pseudo-terminal has no device unit: its instance turns the binding
    # off, as the unit's comment tells an administrator to. (Its start shows
    # that it worked; the VM test shows the binding of a real port.)
    inside mkdir -p /etc/systemd/system/$unit.d
    inside ln -s /dev/null /etc/systemd/system/$unit.d/device.conf
    inside systemctl daemon-reload
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
    mark
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
    journal_has "STARTING kolvd Ver 7.24 server for /dev/ttyKV0" 6 || fail "no STARTING line at info"
    journal_has "Open and setup serial port /dev/ttyKV0" 7 || fail "no debug line at debug"
    journal_has "127.0.0.1 connects to /dev/ttyKV0" 6 || fail "no connect line at info"
    journal_has "kolvd got:<70h><69h>" 7 || fail "no dump at debug"
    journal_has "127.0.0.1 disconnects from /dev/ttyKV0" 6 || fail "no disconnect line at info"
    [[ $(journal | grep -c "STARTING kolvd") == 1 ]] || fail "STARTING not once: $(journal | grep -c STARTING)"
    [[ $(journal | grep -c '^. <') == 0 ]] || fail "a priority prefix reached the journal's text"
    inside test ! -e "$log" || fail "a log file was written"
}

# The unit's status names the port while nobody is connected, and the client
# while one is; the README's way to drop it frees the port.
scenario_status() {
    [[ $(status_text) == "Listening on TCP port 7001 for /dev/ttyKV0" ]] || fail "status: $(status_text)"
    machine_bg python3 /root/peer.py hold 7001
    wait_for 5 eval '[[ $(status_text) == "Serving 127.0.0.1 since "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] ]]' ||
        fail "status with a client: $(status_text)"
    if [[ -n ${KOLVD_SHOW_STATUS:-} ]]; then inside systemctl status --no-pager "$unit"; fi
    inside systemctl kill -s SIGUSR1 "$unit"
    wait_for 5 eval '[[ $(status_text) == "Listening on TCP port 7001 for /dev/ttyKV0" ]]' ||
        fail "status after the drop: $(status_text)"
    journal_has "REINITIALIZE kolvd server on /dev/ttyKV0" 6 || fail "no REINITIALIZE line"
    inside python3 /root/peer.py client 7001 || fail "relay after the drop"
    [[ $(journal | grep -c "notification message") == 0 ]] || fail "systemd refused a status line"
}

# The documented drop-in: only the allowed address reaches the port; another
# one's connect times out.
scenario_ip_filter() {
    local conf=/etc/systemd/system/$unit.d/ip-filter.conf
    inside sh -c "sed 's/^IPAddressAllow=.*/IPAddressAllow=127.0.0.2/' \
        /usr/share/doc/kolvd/ip-filter.conf >$conf"
    inside systemctl daemon-reload
    inside systemctl restart "$unit" || fail "restart with the IP filter"
    inside python3 /root/peer.py client 7001 127.0.0.2 || fail "allowed address refused"
    inside python3 /root/peer.py refused 7001 127.0.0.1 || fail "filtered address let through"
    # Only its own drop-in: beside it, device.conf keeps the binding off. The
    # filter holds until the next start.
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
    journal_has "SHUTDOWN kolvd server for /dev/ttyKV0" 6 || fail "no clean SHUTDOWN line"
}

# A log file, when the setup file names one, is readable by kolvd and the
# group adm only: debug dumps hold everything typed.
scenario_private_log() {
    setup "IdleTimeout=0\nDebugMode=yes\nLogFileName=$log\n"
    inside systemctl start "$unit" || fail "start with a log file"
    inside python3 /root/peer.py client 7001 || fail "relay"
    wait_for 5 inside grep -q "kolvd got:" "$log" || fail "no dump in $log"
    inside runuser -u nobody -- cat "$log" >/dev/null 2>&1 && fail "nobody can read the log"
    inside runuser -u nobody -g adm -- grep -q "kolvd got:" "$log" || fail "the group adm cannot read the log"
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
    inside journalctl -u "$unit" | grep -F "Removed stale lock file /var/lock/LCK..${pts#/dev/} (pid $old " \
        >/dev/null || fail "no report of the stale lock"
}

# A hang-up that leaves the port in place (a line that drops) ends the server
# cleanly, says so, and the unit serves the port again.
scenario_hang_up() {
    local old
    mark
    old=$(main_pid)
    inside kill -USR1 "$(inside pgrep -f 'peer.py device')"
    restarted_from "$old" || fail "not serving again after a hang-up: $(unit_state)"
    journal_has "kolvd: serial port /dev/ttyKV0 hung up" 6 || fail "no hang-up line"
    journal_has "SHUTDOWN kolvd server for /dev/ttyKV0" 6 || fail "no SHUTDOWN line"
}

# A lock whose pid still has the port open is never removed.
scenario_live_lock_kept() {
    inside /usr/libexec/kolvd/clear-stale-lock /dev/ttyKV0
    [[ $(inside cat "$lock") -eq $(main_pid) ]] || fail "live lock removed"
    inside systemctl stop "$unit"
}

# Start-up failures make "systemctl start" fail, with the reason in the
# unit's journal. (systemctl status lists only lines logged since the unit's
# last change of state, which leaves them out while it waits to restart.)
# The reason is an error in the journal, once a try, whether the server wrote
# it there itself or, with a log file, the launcher repeats it. kolvd exits 1
# for each of them, so the unit cannot tell one that may pass from one that
# cannot: it retries every 1 s and gives up at the start limit.
scenario_failed_start() {
    local setting=$1 reason=$2 line
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

# clear-stale-lock runs as root on a file that any user can write, and keep
# alive through a hard link: it acts only on a lock with one link, reads no
# more of it than a server writes, and looks at few of its pid's descriptors.
scenario_hostile_lock() {
    local script=/usr/libexec/kolvd/clear-stale-lock holder bytes stats
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
    bytes=$(inside grep "^[0-9]* *read([0-9]*<$lock>" /run/trace | awk '{s += $NF} END {print s + 0}')
    ((bytes <= 16)) || fail "read $bytes bytes of a long lock"

    machine_bg runuser -u kolvd -- bash -c 'ulimit -n 4096 && for ((i = 10; i < 2010; i++)); do
        eval "exec $i</dev/null"; done && echo $$ >/tmp/holder && exec sleep 600'
    wait_for 5 eval 'holder=$(inside cat /tmp/holder) && [[ -n $holder ]]' || fail "no holder of descriptors"
    plant "printf '%10d\n' $holder"
    traced stat,newfstatat,statx,lstat
    stats=$(inside grep -c "/proc/$holder/fd/" /run/trace || true)
    ((stats <= 64)) || fail "looked at $stats descriptors of pid $holder"
    inside test ! -e "$lock" || fail "a lock of a pid without the port kept"
    inside kill "$holder"
    inside rm -f /tmp/holder "$lock"
}

# What no retry can mend fails at once: no setup file, no port.
scenario_missing() {
    local what u=kolvd@ttyKV9.service
    inside mkdir -p /etc/systemd/system/$u.d
    inside ln -s /dev/null /etc/systemd/system/$u.d/device.conf
    inside systemctl daemon-reload
    for what in /etc/kolvd/ttyKV9.conf /dev/ttyKV9; do
        inside sh -c "printf 'Service=7009\nLogFileName=$log\n' >/etc/kolvd/ttyKV9.conf"
        inside ln -sf "$pts" /dev/ttyKV9
        inside rm "$what"
        ! inside systemctl start $u 2>/dev/null || fail "started without $what"
        [[ $(inside systemctl show -p AssertResult -p NRestarts $u | sort | paste -sd' ') == \
            "AssertResult=no NRestarts=0" ]] || fail "without $what: not refused by its assertion"
    done
}

scenario_unknown_service() {
    scenario_failed_start "Service=nosuchservice\nLogFileName=$log" 'nosuchservice - no such service on this host'
}
scenario_port_in_use() {
    machine_bg python3 /root/peer.py listen 7001 /run/listening
    wait_for 5 inside test -e /run/listening || fail "no listener"
    scenario_failed_start 'Service=7001' 'kolvd: bind: Address already in use'
    if [[ -n ${KOLVD_SHOW_STATUS:-} ]]; then inside journalctl --no-pager -u "$unit" -p err; fi
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
    kill9 hang_up live_lock_kept hostile_lock missing unknown_service port_in_use upgrade purge; do
    t=$(date +%s%N)
    # Each scenario starts with the unit's start limit as new.
    inside systemctl reset-failed "$unit" 2>/dev/null || true
    result=ok
    ("scenario_$s") || { result=FAIL; failed=1; }
    printf '%-4s %-16s %5d ms\n' "$result" "$s" $((($(date +%s%N) - t) / 1000000))
done
echo "unit test $( ((failed)) && echo FAILED || echo passed) in $((($(date +%s%N) - started) / 1000000)) ms"
exit $failed

# Helpers of the scenarios under systemd, sourced by unit_test.sh (which
# sets run to reach into its machine) and by the VM's guest.sh.
now() { date +%s%N; }
ms() { echo $((($(now) - $1) / 1000000)); }
# Polls CMD every 50 ms for at most SECONDS of the clock (a round may take
# longer than its sleep on a busy host, and in the emulator).
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        ((SECONDS <= end)) || return 1
        sleep 0.05
    done
}
main_pid() { $run systemctl show -p MainPID --value "$unit"; }
unit_state() {
    $run systemctl show -p ActiveState -p Result -p NRestarts "$unit" |
        awk -F= '{v[$1] = $2} END {print v["ActiveState"], v["Result"], v["NRestarts"]}'
}

#!/usr/bin/env bash
# Runs dravik_c_test's cases and the README's example (set_four) against meter-sim on a pty,
# each case with a meter of its own. The library lists the machine's serial ports from sysfs as
# a station's would: everything runs in a private mount namespace where /sys/class/tty is
# empty, so that the only port it lists and probes is the simulated meter's
# (DRAVIK_EXTRA_PORTS).
#
# usage: tests/libdravik/run-c-test.sh BIN_DIR     (BIN_DIR holds dravik_c_test, set_four and
#                                                   meter-sim)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [[ ${DRAVIK_C_TEST_NAMESPACE:-} != 1 ]]; then
    [[ $# -eq 1 ]] || {
        echo "usage: $0 BIN_DIR" >&2
        exit 2
    }
    bin=$(cd "$1" && pwd)
    own_ns=(--mount --propagation private)
    [[ $(id -u) -eq 0 ]] || own_ns=(--user --map-root-user "${own_ns[@]}")
    DRAVIK_C_TEST_NAMESPACE=1 exec unshare "${own_ns[@]}" -- bash "$0" "$bin"
fi

bin=$1
mount -t tmpfs none /sys/class/tty
[[ -z $(ls -A /sys/class/tty) ]] || {
    echo "/sys/class/tty is not empty: the machine's own ports would be probed" >&2
    exit 2
}
# shellcheck source=scripts/meter-sim.sh
source "$here/../../scripts/meter-sim.sh"
# shellcheck source=tests/libdravik/c-test.sh
source "$here/c-test.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-c-test.XXXXXX")
trap 'meter_sim_stop; rm -rf "$work"' EXIT
export DRAVIK_EXTRA_PORTS=$work/meter
failed=0

for entry in "${DRAVIK_C_TEST_CASES[@]}" "example"; do
    read -ra options <<<"$entry"
    name=${options[0]}
    mkdir -p "$work/$name"
    # There before meter_sim_start reads it, which it may do before the sim has made it.
    : >"$work/$name/meter-sim.log"
    meter_sim_start "$bin/meter-sim" "$work/$name/meter-sim.log" "$DRAVIK_EXTRA_PORTS" \
        "${options[@]:1}"
    status=0
    if [[ $name == example ]]; then
        "$bin/set_four" "$work/$name/station.csv" >"$work/$name/records" || status=$?
        [[ $(grep -c '"answered":true' "$work/$name/records") -eq 4 ]] || status=1
    else
        "$bin/dravik_c_test" "$name" "$DRAVIK_EXTRA_PORTS" "$work/$name/meter-sim.log" \
            "$work/$name" || status=$?
    fi
    meter_sim_stop
    if [[ $status -eq 0 ]]; then
        echo "PASS  $name"
    else
        echo "FAIL  $name (status $status)"
        failed=1
    fi
done
exit "$failed"

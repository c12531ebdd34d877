#!/usr/bin/env bash
# Runs dravik-net-test.exe under mono against meter-sim on ptys, in a private mount namespace
# where /sys/class/tty is empty, so that the only port the library lists and probes is the
# simulated meter's (DRAVIK_EXTRA_PORTS), as in tests/libdravik/run-c-test.sh.
#
# usage: tests/dotnet/run-dotnet-test.sh BIN_DIR LIBRARY_DIR   (BIN_DIR holds the test, the
#        assembly, meter-sim and dravik-cli; LIBRARY_DIR libdravik.so.N)
set -euo pipefail

if [[ ${DRAVIK_NET_TEST_NAMESPACE:-} != 1 ]]; then
    [[ $# -eq 2 ]] || {
        echo "usage: $0 BIN_DIR LIBRARY_DIR" >&2
        exit 2
    }
    own_ns=(--mount --propagation private)
    [[ $(id -u) -eq 0 ]] || own_ns=(--user --map-root-user "${own_ns[@]}")
    DRAVIK_NET_TEST_NAMESPACE=1 exec unshare "${own_ns[@]}" -- \
        bash "$0" "$(cd "$1" && pwd)" "$(cd "$2" && pwd)"
fi

mount -t tmpfs none /sys/class/tty
[[ -z $(ls -A /sys/class/tty) ]] || {
    echo "/sys/class/tty is not empty: the machine's own ports would be probed" >&2
    exit 2
}
work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-net-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
export DRAVIK_EXTRA_PORTS=$work/meter LD_LIBRARY_PATH=$2
mono --debug "$1/dravik-net-test.exe" "$1" "$work"

#!/usr/bin/env bash
# Takes the pictures of the Linux dialog for the README, under a private Xvfb server:
#   docs/linux-dialog.png   the main dialog with the four corrections set and its status line
#   docs/linux-message.png  the "no meter found" message box
# Both come from dravik-demo (the real windows, driven without an operator) against the
# simulated meter; no serial port of this machine is opened. No window manager runs, so the
# pictures show the windows' contents without title bars.
#
# usage: scripts/screenshots-linux.sh [build-dir]   (default: build/linux, configured if needed)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/meter-sim.sh
source scripts/meter-sim.sh
build=${1:-build/linux}
limit=100  # tenths of a second to wait for any one step

[[ -f $build/CMakeCache.txt ]] || cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" --target dravik-demo meter-sim >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    meter_sim_stop
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Waits until file $1 has a line matching $2, while process $3 lives.
wait_for_line() {
    for _ in $(seq "$limit"); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        kill -0 "$3" 2>/dev/null || break
        sleep 0.1
    done
    grep -q "$2" "$1" 2>/dev/null || { echo "timed out waiting for '$2' in $1:" >&2; cat "$1" >&2; exit 1; }
}

# -displayfd: the server picks a free display and writes its number once it accepts clients.
# -noreset: it must not reset when its last client disconnects, between the two pictures.
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 800x600x24 -dpi 96 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for_line "$work/display" '^[0-9]' "${pids[-1]}"
export DISPLAY=":$(head -n1 "$work/display")" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work"

meter_sim_start "$build/bin/meter-sim" "$work/meter.log" "$work/meter" || exit 1

# $1: picture; the rest: dravik-demo's arguments.
shoot() {
    local out=$1 log="$work/demo-$(basename "$1").log"
    shift
    "$build/bin/dravik-demo" "$@" --hold >"$log" 2>&1 &
    local demo=$!
    pids+=("$demo")
    wait_for_line "$log" '^READY window=' "$demo"
    import -window "$(sed -n 's/^READY window=//p' "$log")" "$out"
    kill "$demo"
    wait "$demo" 2>/dev/null || true
    echo "$out"
}

mkdir -p docs
shoot docs/linux-dialog.png --port "$work/meter"
shoot docs/linux-message.png --no-meter

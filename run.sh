#!/usr/bin/env bash
# ./run.sh: installs what is missing, builds Z9M4-SET (the Dravik executable) and runs it
# against a simulated optical power meter on a virtual serial port, printing what the meter
# receives while you work. Close the dialog (EXIT, Esc) to end; the simulated meter stops
# with it. Real meters attached to this machine are probed first, as always.
#
# Without a display (neither DISPLAY nor WAYLAND_DISPLAY set) it runs a headless demonstration
# instead: the real dialog on Qt's offscreen platform, every channel set in turn, ending with a
# picture of the dialog in build/demo.png and the meter's log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$root"
# shellcheck source=scripts/meter-sim.sh
source scripts/meter-sim.sh
build=build/linux

scripts/deps.sh run

headless=0
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
    headless=1
fi

echo "== building ($build)"
[[ -f $build/CMakeCache.txt ]] || cmake --preset linux >/dev/null
targets=(Dravik meter-sim)
((headless)) && targets+=(dravik-demo)
cmake --build "$build" --target "${targets[@]}"

work=$(mktemp -d)
printer_pid=
cleanup() {
    meter_sim_stop
    # The printer's tail ends by itself once the meter is gone, after its last lines.
    [[ -n $printer_pid ]] && wait "$printer_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Qt wants a private runtime directory; a root shell often has none.
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work}

# The simulated meter: a pty behind $work/meter.
meter_sim_start "$build/bin/meter-sim" "$work/meter.log" "$work/meter" || exit 1
device=$METER_SIM_DEVICE

# One readable line per frame the meter receives.
describe() {
    sed -u -n \
        -e 's/^FRAME probe .*/meter: probe received, answering as the meter/p' \
        -e 's/^FRAME set channel=\([0-9]*\) label=\([^ ]*\) factor=\([^ ]*\) dB=\([^ ]*\) .*/meter: channel \1 (\2)  factor \3  = \4 dB/p' \
        -e 's/^FRAME unknown \(command=[^ ]*\).*/meter: unknown frame, \1/p' \
        -e 's/^SKIP bytes=\(.*\)/meter: \1 stray bytes dropped/p'
}

if ((headless)); then
    echo "== no display (DISPLAY and WAYLAND_DISPLAY are unset): headless demonstration"
    echo "   the real dialog on Qt's offscreen platform, simulated meter on $device"
    demo=0
    QT_QPA_PLATFORM=offscreen "$build/bin/dravik-demo" --port "$work/meter" --png build/demo.png ||
        demo=$?
    echo "== what the meter received"
    describe <"$work/meter.log"
    echo "== picture of the dialog: $root/build/demo.png"
    exit "$demo"
fi

echo "== simulated meter on $work/meter -> $device"
echo "   type a correction in dB and press SET; close the dialog to stop"
tail --pid="$METER_SIM_PID" -n +1 -f "$work/meter.log" | describe &
printer_pid=$!
DRAVIK_EXTRA_PORTS="$work/meter" "$build/bin/Dravik" || true
cleanup
trap - EXIT
echo "== dialog closed, simulated meter stopped"

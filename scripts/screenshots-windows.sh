#!/usr/bin/env bash
# Takes the pictures of the Windows dialog for the README, from Dravik.exe under Wine and Xvfb:
#   docs/windows-dialog.png   the main dialog with the four corrections set and its status line
#   docs/windows-message.png  the "no meter found" message box
# Dravik.exe is operated from the keyboard against the simulated meter on a pty mapped as COM7,
# in the same private, serial-masked session as the Wine tests (tests/wine/wine-session.sh): no
# serial port of this machine is opened. Wine draws the window frames itself (no window manager
# runs), so the pictures show Windows-style title bars.
# Wine's own Tahoma and Marlett come from Debian's fonts-wine; without it captions and the close
# box fall back to other fonts.
#
# usage: scripts/screenshots-windows.sh [windows-build-dir] [linux-build-dir]
#        (defaults: build/windows and build/linux, configured and built if needed)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=tests/wine/wine-session.sh
source "$root/tests/wine/wine-session.sh"

readonly LIMIT=30

if [[ ${WS_IN_NAMESPACE:-} != 1 ]]; then
    cd "$root"
    windows_build=${1:-build/windows}
    linux_build=${2:-build/linux}
    [[ -f $windows_build/CMakeCache.txt ]] || cmake --preset windows -B "$windows_build" >/dev/null
    [[ -f $linux_build/CMakeCache.txt ]] || cmake --preset linux -B "$linux_build" >/dev/null
    cmake --build "$windows_build" --target Dravik >/dev/null
    cmake --build "$linux_build" --target meter-sim >/dev/null
    WS_WINE_ARCH=$(ws_pe_arch "$windows_build/bin/Dravik.exe")
    export WS_WINE_ARCH
    ws_require wine wineserver wineboot Xvfb xdotool import unshare gcc "$(ws_mingw_gcc)"
    [[ -f /usr/share/wine/fonts/tahoma.ttf ]] ||
        ws_log "note: fonts-wine is not installed; captions will not use Tahoma"

    WS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/dravik-shots.XXXXXX")
    export WS_DIR WS_DRAVIK="$root/$windows_build/bin/Dravik.exe"
    export WS_METER_SIM="$root/$linux_build/bin/meter-sim" WS_DOCS="$root/docs"
    trap 'rm -rf "$WS_DIR"' EXIT
    wine_session_build_helpers "$WS_DIR" "$root/tests/wine"
    mkdir -p "$WS_DOCS"
    wine_session_enter "$root/scripts/$(basename "$0")"
    exit
fi

trap wine_session_cleanup EXIT
wine_session_mask_serial
wine_session_start_x
wine_session_init_prefix

fail() {
    ws_log "screenshots: $*"
    exit 1
}

# Starts Dravik.exe, waits for its dialog and for its thread to be through initialisation, and
# gives it the keyboard; sets dravik_pid and dialog.
start_dravik() {
    dravik_start "$WS_DRAVIK" "$WS_DIR/dravik.log" "$LIMIT" || fail "Dravik.exe showed no dialog"
    window_text Z9M4-SET >/dev/null
    xdotool windowfocus --sync "$dialog"
}

stop_dravik() {
    xdotool windowfocus --sync "$dialog"
    xdotool key Escape
    wait_pid_gone "$dravik_pid" "$LIMIT" || fail "Dravik.exe did not end on Esc"
}

# Takes window WINDOW into docs/NAME once the picture has settled (Wine paints after it answers
# messages, and hands the frame to X after that).
shoot() {
    local window=$1 name=$2
    sleep 0.5
    import -window "$window" "$WS_DOCS/$name"
    echo "docs/$name"
}

# The message box: SET before any meter port exists (the first tab stop after EXIT is SET 0).
start_dravik
xdotool key Tab space
message=$(x_wait_window Dravik "$LIMIT") || true
[[ -n $message ]] || fail "no message box"
window_text Dravik | grep -qF "没找到待测表串口！" || fail "the message box has another text"
shoot "$message" windows-message.png
xdotool windowfocus --sync "$message"
xdotool key Return
x_wait_window_gone Dravik "$LIMIT" || fail "the message box stayed"
stop_dravik
wine_session_stop_server

# The dialog: the four corrections typed into edit boxes 1004..1007 and each one SET in turn,
# so the status line shows the last answer.
sim_log="$WS_DIR/meter-sim.log"
wine_session_map_port COM7 "$WS_DIR/com7"
sim_start "$sim_log" || fail "meter-sim did not start"
start_dravik
dravik_type_corrections 0.35 -1.2 0.5 2.25
# From edit box 3: EXIT, then SET 0.
xdotool key --delay 30 Tab Tab
for channel in 0 1 2 3; do
    [[ $channel -eq 0 ]] || xdotool key Tab
    xdotool key space
    sim_wait_lines "$sim_log" 'REPLY set' $((channel + 1)) "$LIMIT" ||
        fail "the meter got no frame for channel $channel"
    # Answered once the dialog's thread is back from the click.
    window_text Z9M4-SET >/dev/null
done
window_text Z9M4-SET | grep -q $'^1008\tStatic\t1550CW 设置成功 2.25 dB' ||
    fail "the status line does not show the last answer"
shoot "$dialog" windows-dialog.png
stop_dravik

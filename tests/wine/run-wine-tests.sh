#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: every test program, the link and discovery ones
# and the C library's C program (dravik_c_test.exe on dravik.dll) against the simulated meter on
# a pty mapped as COM7, and Dravik.exe operated from the keyboard under Xvfb.
#
# usage: tests/wine/run-wine-tests.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
#   e.g. tests/wine/run-wine-tests.sh build/windows build/linux
# WINDOWS_BUILD_DIR/bin holds link_test.exe, discovery_test.exe, dravik_c_test.exe with
# dravik.dll, Dravik.exe and dravik-cli.exe;
# LINUX_BUILD_DIR/bin holds meter-sim and dravik-cli (the reference for dravik-cli.exe). Ends with the line "N passed, N failed"; exits non-zero on any failure.
#
# Everything runs in a private mount namespace with the machine's serial device nodes covered by
# /dev/null (see wine-session.sh), in a fresh prefix of the executables' architecture (32-bit, or
# 64-bit for the windows-x64 twin) in a scratch directory that is removed afterwards (kept, and
# named, when DRAVIK_WINE_KEEP=1).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/wine/wine-session.sh
source "$here/wine-session.sh"

# Generous limits for what only a fault should reach.
readonly TEST_PROGRAM_LIMIT=180
readonly WINDOW_LIMIT=30
readonly FRAME_LIMIT=20
readonly EXIT_LIMIT=20

passed=0
failed=0
declare -a results=()

pass() {
    passed=$((passed + 1))
    results+=("PASS  $*")
    printf 'PASS  %s\n' "$*"
}
fail() {
    failed=$((failed + 1))
    results+=("FAIL  $*")
    printf 'FAIL  %s\n' "$*"
}
# check NAME COMMAND...: one result per check.
check() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

# --- outside the namespace: arguments, tools, scaffolding ------------------------------------

if [[ ${WS_IN_NAMESPACE:-} != 1 ]]; then
    if [[ $# -ne 2 ]]; then
        echo "usage: $0 WINDOWS_BUILD_DIR LINUX_BUILD_DIR" >&2
        exit 2
    fi
    windows_bin=$(cd "$1/bin" && pwd) || ws_die "no $1/bin"
    linux_bin=$(cd "$2/bin" && pwd) || ws_die "no $2/bin"
    WS_WINE_ARCH=$(ws_pe_arch "$windows_bin/Dravik.exe")
    export WS_WINE_ARCH
    ws_require wine wineserver wineboot Xvfb xdotool unshare timeout gcc "$(ws_mingw_gcc)"
    [[ -x $linux_bin/meter-sim ]] || ws_die "no $linux_bin/meter-sim"
    [[ -x $linux_bin/dravik-cli ]] || ws_die "no $linux_bin/dravik-cli"
    WS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/dravik-wine.XXXXXX")
    export WS_DIR WS_WINDOWS_BIN=$windows_bin WS_METER_SIM=$linux_bin/meter-sim
    export WS_LINUX_CLI=$linux_bin/dravik-cli
    if [[ ${DRAVIK_WINE_KEEP:-} != 1 ]]; then
        trap 'rm -rf "$WS_DIR"' EXIT
    fi
    wine_session_build_helpers "$WS_DIR" "$here"
    status=0
    wine_session_enter "$here/$(basename "$0")" || status=$?
    if [[ ${DRAVIK_WINE_KEEP:-} == 1 ]]; then
        echo "scratch directory kept: $WS_DIR"
    fi
    exit "$status"
fi

# --- inside the namespace ---------------------------------------------------------------------

started=$(ws_now)
trap wine_session_cleanup EXIT

wine_session_mask_serial
echo "serial device nodes masked by /dev/null: ${WS_MASKED_COUNT}"
wine_session_start_x
echo "Xvfb on $DISPLAY"

phase=$(ws_now)
wine_session_init_prefix
echo "fresh $WINEARCH prefix in $(ws_since "$phase") s"

dravik="$WS_WINDOWS_BIN/Dravik.exe"

# Runs a GoogleTest program under Wine; its output goes to LOG and is shown when it fails.
run_gtest() {
    local log=$1 exe=$2
    shift 2
    local status=0
    DRAVIK_TEST_COM=COM7 wine_cmd timeout -k 10 "$TEST_PROGRAM_LIMIT" wine "$exe" "$@" \
        >"$log" 2>&1 || status=$?
    tr -d '\r' <"$log" | grep -E '^\[  (PASSED|FAILED|SKIPPED) ' | sed 's/^/      /' || true
    if [[ $status -ne 0 ]]; then
        local failures
        # Each failure up to the end of its test, or the end of the log when none was reported
        # (a crash, or the time limit).
        failures=$(tr -d '\r' <"$log" |
            awk '/: Failure$/ { on = 1 } on { print } /^\[  FAILED  \]/ { on = 0 }' | head -80)
        [[ -n $failures ]] || failures=$(tr -d '\r' <"$log" | tail -40)
        echo "      exit status $status; from $(basename "$log"):"
        awk '{ print "      | " $0 }' <<<"$failures"
        return 1
    fi
}

# A GoogleTest program must not pass by skipping what needs the meter: SUITE ran on the port
# (Wine's own gaps, such as unenforced exclusive opens, may still skip single tests).
ran_meter_tests() {
    local log=$1 suite=$2
    ! tr -d '\r' <"$log" | grep -q -e 'names no test port' -e "refusing a port" &&
        tr -d '\r' <"$log" | grep -q "^\[       OK \] ${suite}\."
}

# Starts Dravik.exe and waits for its dialog; sets dravik_pid and dialog.
start_dravik() {
    dravik_pid=
    dialog=
    [[ -f $dravik ]] || {
        echo "      $dravik was not built"
        return 1
    }
    dravik_start "$dravik" "$WS_DIR/dravik-$1.log" "$WINDOW_LIMIT" || {
        echo "      no window named Z9M4-SET within ${WINDOW_LIMIT} s"
        return 1
    }
}

# Esc, as the operator would, must end the process.
esc_ends_dravik() {
    xdotool windowfocus --sync "$dialog" && xdotool key Escape &&
        wait_pid_gone "$dravik_pid" "$EXIT_LIMIT"
}

stop_dravik() {
    if [[ -n ${dravik_pid:-} ]] && kill -0 "$dravik_pid" 2>/dev/null; then
        kill "$dravik_pid" 2>/dev/null || true
        wait_pid_gone "$dravik_pid" 10 || true
    fi
    wine_session_stop_server
}

# --- no meter: the message box ----------------------------------------------------------------
# Runs before COM7 is mapped: the only listed ports are Wine's phantoms of the masked nodes.

phase=$(ws_now)
echo "== Dravik.exe without a meter"
if start_dravik nometer; then
    pass "Dravik.exe opens its dialog Z9M4-SET"
    # Also waits until the dialog's thread is through its initialisation.
    text=$(window_text Z9M4-SET)
    check "EXIT has the focus at start" grep -qxF "focus	2" <<<"$text"
    # The first tab stop after EXIT is the first SET.
    xdotool key --delay 50 Tab space
    message=$(x_wait_window Dravik "$WINDOW_LIMIT") || true
    if [[ -n $message ]]; then
        pass "SET without a meter shows a message box captioned Dravik"
        text=$(window_text Dravik)
        check "the message box says 没找到待测表串口！" \
            grep -qxF "65535	Static	没找到待测表串口！" <<<"$text"
        status_line=$(control_text "$(window_text Z9M4-SET)" 1008)
        check "the status line says which ports were tried" \
            grep -qE "^已探测 [0-9]+ 个串口：" <<<"$status_line"
        xdotool windowfocus --sync "$message" && xdotool key Return
        check "Enter dismisses the message box" x_wait_window_gone Dravik "$WINDOW_LIMIT"
        check "Esc ends Dravik.exe" esc_ends_dravik
    else
        fail "SET without a meter shows a message box captioned Dravik"
    fi
else
    fail "Dravik.exe opens its dialog Z9M4-SET"
fi
stop_dravik
echo "   ($(ws_since "$phase") s)"

# --- the test programs that need no meter ----------------------------------------------------

for exe in "$WS_WINDOWS_BIN"/*_test.exe; do
    name=$(basename "$exe")
    [[ $name == link_test.exe || $name == discovery_test.exe || $name == dravik_c_test.exe ]] &&
        continue
    phase=$(ws_now)
    echo "== $name"
    check "$name" run_gtest "$WS_DIR/${name%.exe}.log" "$exe"
    echo "   ($(ws_since "$phase") s)"
done

# --- COM7 on the simulated meter ----------------------------------------------------------------

phase=$(ws_now)
wine_session_map_port COM7 "$WS_DIR/com7"
echo "COM7 mapped to $WS_DIR/com7 in $(ws_since "$phase") s"

# The link against a meter that answers at once (the answer is often queued before the reply
# watcher starts) and one that answers late (the watcher must be woken by the answer).
for delay in 0 300; do
    phase=$(ws_now)
    echo "== link_test.exe, meter answering after ${delay} ms"
    sim_log="$WS_DIR/meter-sim-link-$delay.log"
    if sim_start "$sim_log" --reply-delay "$delay"; then
        log="$WS_DIR/link_test-$delay.log"
        filter=()
        # The first run takes every test; the second repeats those on the meter.
        [[ $delay -eq 0 ]] || filter=(--gtest_filter='Win32PortOnMeter.*:Win32/PortContract.*')
        check "link_test.exe (meter after ${delay} ms)" run_gtest "$log" \
            "$WS_WINDOWS_BIN/link_test.exe" "${filter[@]}"
        check "link_test.exe ran its tests on COM7 (meter after ${delay} ms)" \
            ran_meter_tests "$log" Win32PortOnMeter
        check "link_test.exe ran the port contract on COM7 (meter after ${delay} ms)" \
            ran_meter_tests "$log" Win32/PortContract
    else
        fail "meter-sim starts (reply delay ${delay} ms)"
    fi
    meter_sim_stop
    echo "   ($(ws_since "$phase") s)"
done

phase=$(ws_now)
echo "== discovery_test.exe"
sim_log="$WS_DIR/meter-sim-discovery.log"
if sim_start "$sim_log"; then
    log="$WS_DIR/discovery_test.log"
    check "discovery_test.exe" run_gtest "$log" "$WS_WINDOWS_BIN/discovery_test.exe"
    check "discovery_test.exe ran its tests on COM7" ran_meter_tests "$log" FindMeterPortOnCom
    check "the meter received the probe" test "$(sim_count "$sim_log" 'FRAME probe')" -ge 1
else
    fail "meter-sim starts"
fi
meter_sim_stop
echo "   ($(ws_since "$phase") s)"

# --- dravik-cli.exe with the meter on COM7 --------------------------------------------------------
# What it must send and print is what the Linux dravik-cli sends and prints for the same command,
# run first against a meter-sim of its own: the same frames, the same UTF-8 bytes.

readonly CLI_LIMIT=60
cli_levels=(1310CW=1.5 1310Burst=-2 1490CW=0.5 1550CW=3)

# The hex of every set frame in a sim log, one per line.
set_frames() { sed -n 's/^FRAME set .* hex=//p' "$1"; }

# cli_exe NAME ARGS...: dravik-cli.exe ARGS, stdout (carriage returns dropped) in NAME.out,
# stderr in NAME.err, exit status in NAME.status.
cli_exe() {
    local name=$1 status=0
    shift
    wine_cmd timeout -k 10 "$CLI_LIMIT" wine "$WS_WINDOWS_BIN/dravik-cli.exe" "$@" \
        >"$WS_DIR/$name.raw" 2>"$WS_DIR/$name.rawerr" || status=$?
    tr -d '\r' <"$WS_DIR/$name.raw" >"$WS_DIR/$name.out"
    tr -d '\r' <"$WS_DIR/$name.rawerr" >"$WS_DIR/$name.err"
    echo "$status" >"$WS_DIR/$name.status"
}
cli_linux() {
    local name=$1 status=0
    shift
    "$WS_LINUX_CLI" "$@" >"$WS_DIR/$name.out" 2>"$WS_DIR/$name.err" || status=$?
    echo "$status" >"$WS_DIR/$name.status"
}
same_file() { cmp -s "$WS_DIR/$1" "$WS_DIR/$2"; }
status_is() { [[ $(cat "$WS_DIR/$1.status") == "$2" ]]; }
refused_as_on_linux() { status_is bad 2 && same_file bad.err ref-bad.err; }
refused_as_not_a_log() { status_is not-a-log 2 && grep -q '不是普通文件，不能作日志' "$WS_DIR/not-a-log.err"; }

phase=$(ws_now)
echo "== dravik-cli.exe with the meter on COM7"
ref_log="$WS_DIR/meter-sim-cli-linux.log"
if sim_start "$ref_log"; then
    cli_linux ref-set set --port "$WS_DIR/com7" "${cli_levels[@]}"
    cli_linux ref-bad set 1490CW=abc
    cli_linux ref-version --version
    sim_wait_lines "$ref_log" 'REPLY set' 4 "$FRAME_LIMIT" || true
else
    fail "meter-sim starts (Linux reference)"
fi
meter_sim_stop
sim_log="$WS_DIR/meter-sim-cli.log"
if ! status_is ref-set 0; then
    fail "the Linux dravik-cli sets four channels (reference): $(cat "$WS_DIR/ref-set.err")"
elif sim_start "$sim_log"; then
    cli_exe ports ports
    check "dravik-cli.exe ports lists COM7 with the registry's device name" \
        grep -q $'^COM7\t.' "$WS_DIR/ports.out"
    awk '{ print "      | " $0 }' "$WS_DIR/ports.out"
    check "ports opened nothing" test "$(grep -c '^FRAME' "$sim_log")" -eq 0

    cli_exe set set "${cli_levels[@]}"
    check "dravik-cli.exe set via discovery exits 0" status_is set 0
    set_frames "$ref_log" >"$WS_DIR/frames-linux"
    set_frames "$sim_log" >"$WS_DIR/frames-wine"
    check "set wrote the four frames byte for byte as on Linux" \
        test "$(grep -c . "$WS_DIR/frames-wine")" -eq 4 -a "$(cat "$WS_DIR/frames-wine")" = \
        "$(cat "$WS_DIR/frames-linux")"
    check "the meter was found by one probe" test "$(sim_count "$sim_log" 'FRAME probe')" -eq 1
    check "the outcome lines are the Linux program's UTF-8 bytes" same_file set.out ref-set.out
    check "the outcome lines hold 设置成功 in UTF-8" \
        grep -q $'^1310CW \xe8\xae\xbe\xe7\xbd\xae\xe6\x88\x90\xe5\x8a\x9f 1.5 dB' "$WS_DIR/set.out"

    # The log through the Windows file calls: a row before each frame and one after it.
    cli_exe logged set --log 'Z:'"$WS_DIR/station.csv" "${cli_levels[@]}"
    check "set --log writes a sending and a done row per channel" \
        test "$(grep -c ',false,sending,pending,false,,$' "$WS_DIR/station.csv")" -eq 4 -a \
        "$(grep -c ',true,done,true,false,06,$' "$WS_DIR/station.csv")" -eq 4

    # Only a regular file is a log: a device, a directory is refused before any port is opened.
    frames_before=$(grep -c '^FRAME' "$sim_log")
    for log_path in NUL 'Z:'"$WS_DIR"; do
        cli_exe not-a-log set --log "$log_path" "${cli_levels[0]}"
        check "set --log $log_path is refused as not a regular file (exit 2)" refused_as_not_a_log
    done
    check "a refused log opened no port" test "$(grep -c '^FRAME' "$sim_log")" -eq "$frames_before"

    cli_exe bad set 1490CW=abc
    check "a bad level is exit 2 with the Linux program's Chinese error line" \
        refused_as_on_linux
    cli_exe version --version
    check "--version is the Linux program's" same_file version.out ref-version.out
else
    fail "meter-sim starts"
fi
meter_sim_stop
echo "   ($(ws_since "$phase") s)"

# --- dravik.dll from C: dravik_c_test.exe with the meter on COM7 -----------------------------
# Each case with a meter of its own, as on Linux (tests/libdravik/c-test.sh lists them).

# c_test CASE SIM_LOG: the case's output in its own log, shown when it fails.
c_test() {
    local name=$1 sim_log=$2 log="$WS_DIR/c-$1/dravik_c_test.log" status=0
    wine_cmd timeout -k 10 "$TEST_PROGRAM_LIMIT" \
        wine "$WS_WINDOWS_BIN/dravik_c_test.exe" "$name" COM7 "Z:$sim_log" "Z:$WS_DIR/c-$name" \
        >"$log" 2>&1 || status=$?
    tr -d '\r' <"$log" | sed 's/^/      /'
    [[ $status -eq 0 ]]
}

phase=$(ws_now)
echo "== dravik_c_test.exe (dravik.dll) with the meter on COM7"
# shellcheck source=tests/libdravik/c-test.sh
source "$here/../libdravik/c-test.sh"
for entry in "${DRAVIK_C_TEST_CASES[@]}"; do
    read -ra options <<<"$entry"
    sim_log="$WS_DIR/meter-sim-c-${options[0]}.log"
    mkdir -p "$WS_DIR/c-${options[0]}"
    # There before sim_start reads it, which it may do before the sim has made it.
    : >"$sim_log"
    if sim_start "$sim_log" "${options[@]:1}"; then
        check "dravik_c_test.exe ${options[0]}" c_test "${options[0]}" "$sim_log"
    else
        fail "meter-sim starts (${options[*]})"
    fi
    meter_sim_stop
done
echo "   ($(ws_since "$phase") s)"

# --- Dravik.exe with the meter, operated from the keyboard ----------------------------------
# Tab order from EXIT, which has the focus at start: SET 0..3, then edit boxes 0..3.

# Expects the sim to have logged exactly COUNT set frames, the last for CHANNEL at DB dB.
last_set_frame_is() {
    local count=$1 channel=$2 db=$3 frames
    frames=$(grep '^FRAME set ' "$sim_log" || true)
    [[ $(grep -c . <<<"$frames") -eq $count ]] &&
        tail -1 <<<"$frames" | grep -q "^FRAME set channel=$channel .* dB=$db "
}

phase=$(ws_now)
echo "== Dravik.exe with the meter on COM7"
sim_log="$WS_DIR/meter-sim-dravik.log"
if ! sim_start "$sim_log"; then
    fail "meter-sim starts"
elif start_dravik meter; then
    pass "Dravik.exe opens its dialog Z9M4-SET"
    window_text Z9M4-SET >/dev/null
    # Edit boxes 1004..1007 get 1.5, -2, 0.5 and 3; then four Tabs wrap round to SET 2 (1002).
    dravik_type_corrections 1.5 -2 0.5 3
    xdotool key --delay 30 Tab Tab Tab Tab space
    if sim_wait_lines "$sim_log" 'FRAME set ' 1 "$FRAME_LIMIT"; then
        check "SET of 1490CW sends one frame, channel 2 at 0.5 dB" last_set_frame_is 1 2 0.5000
        check "the meter was found by probing before" \
            test "$(sim_count "$sim_log" 'FRAME probe')" -eq 1
        sim_wait_lines "$sim_log" 'REPLY set' 1 "$FRAME_LIMIT" || true
        # Answered only once the dialog thread is back from the click.
        text=$(window_text Z9M4-SET)
        check "the edit boxes hold what was typed" test \
            "$(control_text "$text" 1004)|$(control_text "$text" 1005)|$(control_text "$text" 1006)|$(control_text "$text" 1007)" \
            = "1.5|-2|0.5|3"
        check "the status line reports the answer" \
            grep -q '^1008	Static	1490CW 设置成功 0.5 dB' <<<"$text"
    else
        fail "SET of 1490CW sends a frame to the meter"
    fi
    # Back from SET 2 to SET 0 (1000), which must send at once, without a new search.
    xdotool windowfocus --sync "$dialog"
    xdotool key --delay 30 shift+Tab shift+Tab space
    if sim_wait_lines "$sim_log" 'FRAME set ' 2 "$FRAME_LIMIT"; then
        check "SET of 1310CW then sends channel 0 at 1.5 dB" last_set_frame_is 2 0 1.5000
        check "the second SET needed no new search" \
            test "$(sim_count "$sim_log" 'FRAME probe')" -eq 1
    else
        fail "SET of 1310CW sends a second frame"
    fi
    sim_wait_lines "$sim_log" 'REPLY set' 2 "$FRAME_LIMIT" || true
    check "Esc ends Dravik.exe" esc_ends_dravik
else
    fail "Dravik.exe opens its dialog Z9M4-SET"
fi
stop_dravik
meter_sim_stop
echo "   ($(ws_since "$phase") s)"

echo
echo "Windows tests under Wine ($(ws_since "$started") s in the namespace):"
printf '  %s\n' "${results[@]}"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]

# shellcheck shell=bash
# Pieces shared by the scripts that run the Windows programs under Wine: tests/wine/run-wine-tests.sh
# and scripts/screenshots-windows.sh. Sourced, not run.
#
# A session lives in one scratch directory ($WS_DIR) and, from wine_session_enter on, in a private
# mount namespace where the machine's own serial device nodes are covered by /dev/null. Wine maps
# /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* to COM ports by itself, with no setting to stop it,
# and /dev/ttyS0 carries the system console: no Wine process may ever see the real nodes.
#
# Order inside the namespace: wine_session_mask_serial, wine_session_start_x (Wine must find
# DISPLAY when its server starts), wine_session_init_prefix, then programs with wine_cmd.
#
# WS_WINE_ARCH (win32, the default, or win64; see ws_pe_arch) selects the prefix and the helpers'
# compiler: some hosts execute 64-bit user code only, and there the tests run the 64-bit twin of
# the Windows build under Debian's wine64.

# shellcheck source=scripts/meter-sim.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/meter-sim.sh"

WS_SERIAL_PATTERNS=(/dev/ttyS* /dev/ttyUSB* /dev/ttyACM*)
WS_WINE_DLL_OVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

ws_log() { printf '%s\n' "$*" >&2; }
ws_die() {
    ws_log "wine session: $*"
    exit 2
}

# Seconds since the epoch, with milliseconds.
ws_now() { date +%s.%3N; }
ws_since() { awk -v a="$1" -v b="$(ws_now)" 'BEGIN { printf "%.1f", b - a }'; }

# The Wine architecture of a Windows executable, from its PE header's machine field.
ws_pe_arch() {
    local exe=$1 offset machine
    offset=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ') || ws_die "cannot read $exe"
    machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$exe" | tr -d ' ')
    case $machine in
    014c) echo win32 ;;
    8664) echo win64 ;;
    *) ws_die "$exe: machine 0x$machine is neither i386 nor x86-64" ;;
    esac
}

# The MinGW-w64 C compiler for the session's architecture.
ws_mingw_gcc() {
    if [[ ${WS_WINE_ARCH:-win32} == win64 ]]; then
        echo x86_64-w64-mingw32-gcc-posix
    else
        echo i686-w64-mingw32-gcc-posix
    fi
}

ws_require() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || ws_die "$tool not found (scripts/deps.sh test installs it)"
    done
}

# Builds the scaffolding into DIR: the modem-line shim, laid out so that
# LD_PRELOAD=DIR/'$LIB'/libmodemshim.so picks the right one in every process (a 32-bit session
# runs processes of both architectures, a 64-bit one only 64-bit ones), and window-text.exe.
wine_session_build_helpers() {
    local dir=$1 src=$2 lib libs=(64:x86_64-linux-gnu)
    [[ ${WS_WINE_ARCH:-win32} == win64 ]] || libs+=(32:i386-linux-gnu)
    for lib in "${libs[@]}"; do
        mkdir -p "$dir/lib/${lib#*:}"
        gcc -m"${lib%%:*}" -std=gnu11 -O2 -Wall -Wextra -Werror -fPIC -shared \
            -o "$dir/lib/${lib#*:}/libmodemshim.so" "$src/modem_shim.c" -ldl ||
            ws_die "cannot build the modem shim for ${lib#*:}"
    done
    "$(ws_mingw_gcc)" -std=gnu11 -municode -O2 -Wall -Wextra -Werror -s \
        -o "$dir/window-text.exe" "$src/window_text.c" -luser32 ||
        ws_die "cannot build window-text.exe"
}

# Runs SCRIPT ARGS... again inside a private mount namespace (as root, or in a user namespace of
# its own), with WS_IN_NAMESPACE=1, and returns its exit status. Mounts made there never reach
# the rest of the machine.
wine_session_enter() {
    local script=$1
    shift
    WS_OUTER_MOUNT_NS=$(readlink /proc/self/ns/mnt)
    export WS_OUTER_MOUNT_NS
    if [[ $(id -u) -eq 0 ]]; then
        WS_IN_NAMESPACE=1 unshare --mount --propagation private -- bash "$script" "$@"
    else
        WS_IN_NAMESPACE=1 unshare --user --map-root-user --mount --propagation private -- \
            bash "$script" "$@"
    fi
}

ws_serial_nodes() {
    local node
    for node in "${WS_SERIAL_PATTERNS[@]}"; do
        [[ -e $node ]] && printf '%s\n' "$node"
    done
    return 0
}

ws_assert_in_namespace() {
    [[ ${WS_IN_NAMESPACE:-} == 1 && -n ${WS_OUTER_MOUNT_NS:-} &&
        $(readlink /proc/self/ns/mnt) != "$WS_OUTER_MOUNT_NS" ]] ||
        ws_die "not inside the private mount namespace"
}

# Every serial node must be /dev/null (character device 1:3); otherwise the session stops here.
wine_session_assert_masked() {
    ws_assert_in_namespace
    local node numbers
    while read -r node; do
        numbers=$(stat -L -c '%t:%T' "$node") || ws_die "cannot stat $node"
        [[ $numbers == 1:3 ]] || ws_die "ABORT: $node is device $numbers, not masked by /dev/null"
    done < <(ws_serial_nodes)
}

# Covers the machine's serial nodes with /dev/null, then checks that every one reads as 1:3.
wine_session_mask_serial() {
    ws_assert_in_namespace
    local node count=0
    while read -r node; do
        mount --bind /dev/null "$node" || ws_die "ABORT: cannot mask $node"
        count=$((count + 1))
    done < <(ws_serial_nodes)
    wine_session_assert_masked
    # shellcheck disable=SC2034  # reported by the scripts that source this
    WS_MASKED_COUNT=$count
}

# Starts Xvfb on a free display and exports DISPLAY. -noreset keeps the server (and the window
# state Wine caches about it) alive when the last client of a phase disconnects.
wine_session_start_x() {
    local fdfile="$WS_DIR/display" i
    rm -f "$fdfile"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 \
        3>"$fdfile" 2>"$WS_DIR/xvfb.log" &
    WS_XVFB_PID=$!
    for ((i = 0; i < 200; i++)); do
        [[ -s $fdfile ]] && break
        kill -0 "$WS_XVFB_PID" 2>/dev/null || ws_die "Xvfb failed: $(tail -3 "$WS_DIR/xvfb.log")"
        sleep 0.05
    done
    [[ -s $fdfile ]] || ws_die "Xvfb did not announce its display"
    DISPLAY=":$(head -1 "$fdfile")"
    export DISPLAY
}

# Runs a command with the session's Wine environment and the modem shim preloaded. Only Wine
# gets the shim; "$LIB" stays literal for the dynamic loader to expand.
wine_cmd() {
    wine_session_assert_masked
    # shellcheck disable=SC2016
    LD_PRELOAD="$WS_DIR/"'$LIB'"/libmodemshim.so" "$@"
}

wine_session_stop_server() {
    wine_cmd wineserver -k 2>/dev/null || true
    wine_cmd wineserver -w 2>/dev/null || true
}

# A fresh prefix of WS_WINE_ARCH with what the dialogs need to look like they do on Windows:
# Chinese text through Wine's font link from Tahoma to SimSun, served by WenQuanYi Micro Hei (Zen
# Hei's small bitmap strikes draw the dialog's 8-point Chinese garbled and "→" as a dot); Wine's
# own Tahoma and Marlett (fonts-wine) when installed; Wine drawing the window frames itself, as
# there is no window manager to do it.
wine_session_init_prefix() {
    export WINEPREFIX="$WS_DIR/prefix" WINEARCH=${WS_WINE_ARCH:-win32} WINEDEBUG=-all
    if [[ $WINEARCH == win64 ]]; then
        # Debian's `wine` and `wineboot` start the 32-bit loader whenever it is installed, even
        # where it cannot run: put wine64 behind both names for this session.
        mkdir -p "$WS_DIR/bin"
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$WS_DIR/bin/wine"
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 wineboot "$@"\n' >"$WS_DIR/bin/wineboot"
        chmod +x "$WS_DIR/bin/wine" "$WS_DIR/bin/wineboot"
        export PATH="$WS_DIR/bin:$PATH" WINELOADER=/usr/lib/wine/wine64
    fi
    export WINEDLLOVERRIDES="$WS_WINE_DLL_OVERRIDES"
    export HOME="$WS_DIR/home"
    mkdir -p "$HOME"
    [[ -n ${DISPLAY:-} ]] || ws_die "DISPLAY must be set before Wine's server starts"
    wine_cmd wineboot --init >"$WS_DIR/wineboot.log" 2>&1 ||
        ws_die "wineboot failed: $(tail -5 "$WS_DIR/wineboot.log")"
    # wineboot returns before the prefix is complete.
    wine_cmd wineserver -w
    # Debian's Wine 8 does not find them in its data directory: the prefix's Fonts folder it reads.
    local font
    for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
        if [[ -f /usr/share/wine/fonts/$font ]]; then
            cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
        fi
    done
    cat >"$WS_DIR/session.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"SimSun"="WenQuanYi Micro Hei"
"NSimSun"="WenQuanYi Micro Hei"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
EOF
    wine_cmd wine regedit /S "$WS_DIR/session.reg" >/dev/null 2>&1 ||
        ws_die "cannot import the session's registry settings"
}

# Maps COMn to a Unix device path (Wine reads HKLM\Software\Wine\Ports when its server starts,
# and lists the port under HKLM\Hardware\DeviceMap\SerialComm), then restarts the server.
wine_session_map_port() {
    local name=$1 path=$2
    wine_cmd wine reg add 'HKLM\Software\Wine\Ports' /v "$name" /d "$path" /f >/dev/null 2>&1 ||
        ws_die "cannot map $name to $path"
    wine_session_stop_server
}

# The simulated meter: sim_start LOG OPTIONS... starts build/<linux>/bin/meter-sim with its device
# reachable as $WS_DIR/com7 (the path COM7 is mapped to) and waits until it announces it;
# meter_sim_stop stops it. The sim makes the pty its own controlling terminal, so Wine's server
# cannot take it.
sim_start() {
    local log=$1
    shift
    meter_sim_start "$WS_METER_SIM" "$log" "$WS_DIR/com7" "$@"
}

# Lines of the sim's log that start with PREFIX.
sim_count() { grep -c "^$2" "$1" || true; }

# Waits until the sim's log LOG holds COUNT lines starting with PREFIX; false after LIMIT s.
sim_wait_lines() {
    local log=$1 prefix=$2 count=$3 limit=$4 deadline
    deadline=$(($(date +%s) + limit))
    while (($(sim_count "$log" "$prefix") < count)); do
        (($(date +%s) < deadline)) || return 1
        sleep 0.05
    done
}

# Prints the X window id of the visible window named exactly NAME; false after LIMIT s.
x_wait_window() {
    local name=$1 limit=$2
    timeout "$limit" xdotool search --sync --onlyvisible --name "^${name}\$" 2>/dev/null | head -1
}

# Waits until no visible window is named NAME; false after LIMIT s.
x_wait_window_gone() {
    local name=$1 limit=$2 deadline
    deadline=$(($(date +%s) + limit))
    while xdotool search --onlyvisible --name "^${name}\$" >/dev/null 2>&1; do
        (($(date +%s) < deadline)) || return 1
        sleep 0.1
    done
}

# Waits until process PID has ended (Wine lingers about 2 s after its last window closes) and
# reaps it; false after LIMIT s.
wait_pid_gone() {
    local pid=$1 limit=$2 deadline
    deadline=$(($(date +%s) + limit))
    while kill -0 "$pid" 2>/dev/null; do
        (($(date +%s) < deadline)) || return 1
        sleep 0.1
    done
    wait "$pid" 2>/dev/null || true
}

# Starts Dravik.exe EXE with its output in LOG and waits up to LIMIT s for its dialog; sets
# dravik_pid and dialog and gives the dialog the keyboard. Fails when no dialog appears.
dravik_start() {
    local exe=$1 log=$2 limit=$3
    wine_cmd wine "$exe" >"$log" 2>&1 &
    dravik_pid=$!
    dialog=$(x_wait_window Z9M4-SET "$limit") || true
    [[ -n $dialog ]] || return 1
    xdotool windowfocus --sync "$dialog"
}

# Types the four corrections into edit boxes 1004..1007 from the focus on EXIT (the first tab
# stop; the four SETs follow it). Leaves the focus in edit box 1007.
dravik_type_corrections() {
    xdotool key --delay 30 Tab Tab Tab Tab Tab
    xdotool type --delay 30 -- "$1"
    local value
    for value in "$2" "$3" "$4"; do
        xdotool key Tab
        xdotool type --delay 30 -- "$value"
    done
}

# What the top-level window with caption CAPTION and its controls show (see window_text.c).
window_text() {
    wine_cmd timeout -k 5 30 wine "$WS_DIR/window-text.exe" "$1" 2>/dev/null | tr -d '\r'
}

# The text of control ID in a window_text listing.
control_text() {
    awk -F '\t' -v id="$2" '$1 == id { print $3; exit }' <<<"$1"
}

# Ends what the session started: Wine's server and its processes, the sim and Xvfb.
wine_session_cleanup() {
    meter_sim_stop
    if [[ -n ${WINEPREFIX:-} ]]; then
        wine_session_stop_server
    fi
    if [[ -n ${WS_XVFB_PID:-} ]]; then
        kill "$WS_XVFB_PID" 2>/dev/null || true
        wait "$WS_XVFB_PID" 2>/dev/null || true
    fi
}

#!/usr/bin/env bash
# Checks the Debian package that `cmake --build --preset linux --target package` wrote: lintian,
# its file list, the programs and the desktop entry in an unpacked copy, then a real
# `apt-get install` on this machine (as root), the programs found on PATH, and `apt-get purge`,
# which runs even when a step fails.
#
# usage: tests/packaging/check-deb.sh LINUX_BUILD_DIR      e.g. tests/packaging/check-deb.sh build/linux
# Ends with the line "N passed, N failed"; exits non-zero on any failure.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/packaging/checks.sh
source "$here/checks.sh"

[[ $# -eq 1 ]] || {
    echo "usage: $0 LINUX_BUILD_DIR" >&2
    exit 2
}
build=$(cd "$1" && pwd)
root_dir=$(cd "$here/../.." && pwd)
version=$(project_version "$build")
deb="$build/dravik_${version}_amd64.deb"
programs=(Dravik dravik-cli dravik-meter-sim)
readonly SMOKE_LIMIT=30

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-deb.XXXXXX")
installed=0
cleanup() {
    if ((installed)); then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -q dravik >"$work/purge.log" 2>&1 ||
            cat "$work/purge.log" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "== $deb"
[[ -f $deb ]] || {
    echo "no $deb: cmake --build --preset linux --target package writes it" >&2
    exit 1
}
check "the package is dravik $version" \
    test "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: dravik Version: $version "

# Errors and warnings fail; what is overridden is listed with the package's own reasons.
lintian_clean() {
    lintian --fail-on error,warning --show-overrides --display-info "$deb" >"$work/lintian.log" 2>&1
    local status=$?
    grep -v '^running with root privileges' "$work/lintian.log" | sed 's/^/      /'
    return "$status"
}
check "lintian: no errors, no warnings" lintian_clean

# Every file the package must hold: the programs, their manual pages, the desktop entry, the
# icon at every size res/ has, copyright and changelog.
expected=()
for program in "${programs[@]}"; do
    expected+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz")
done
expected+=(usr/share/applications/dravik.desktop usr/share/doc/dravik/copyright
           usr/share/doc/dravik/changelog.gz)
for icon in "$root_dir"/res/dravik-*.png; do
    size=${icon##*/dravik-}
    size=${size%.png}
    expected+=("usr/share/icons/hicolor/${size}x${size}/apps/dravik.png")
done
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sub(/^\.\//, "", $6); print $6 }' | sort >"$work/files"
holds_every_file() {
    local file missing=0
    for file in "${expected[@]}"; do
        grep -qxF "$file" "$work/files" || {
            echo "      missing: /$file"
            missing=1
        }
    done
    return "$missing"
}
check "dpkg-deb -c lists all ${#expected[@]} files" holds_every_file

# --- an unpacked copy ------------------------------------------------------------------------

dpkg-deb -x "$deb" "$work/root"
check "desktop-file-validate passes on the desktop entry" \
    desktop-file-validate "$work/root/usr/share/applications/dravik.desktop"

# The first line of PROGRAM --version ends in the package's version.
prints_version() {
    local program=$1 line
    line=$("$program" --version | head -1) || return 1
    echo "      $line"
    [[ $line == *" $version" ]]
}
# A manual page made from this build names the program and the version in its title line.
man_page_of_build() {
    local page=$1 program=$2
    zcat "$page" | grep -q "^\.TH ${program^^} \"1\" .*[ \"]${version//./\\.}\""
}
for program in "${programs[@]}"; do
    check "unpacked $program --version prints $version" \
        prints_version "$work/root/usr/bin/$program"
    check "the manual page of $program is made from this build" \
        man_page_of_build "$work/root/usr/share/man/man1/$program.1.gz" "$program"
done

# Dravik has no way to be closed from outside on Qt's offscreen platform: the run passes once
# the dialog has been painted and SIGTERM then ends the process, with no crash, no abort and
# nothing from Qt on stderr but the painting log that shows the dialog.
dravik_smoke_run() {
    local log="$work/dravik.log" pid deadline status=0
    mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
    XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen \
        QT_LOGGING_RULES="qt.widgets.painting=true" \
        "$work/root/usr/bin/Dravik" >"$log" 2>&1 &
    pid=$!
    deadline=$((SECONDS + SMOKE_LIMIT))
    until grep -q '^qt.widgets.painting: Flushing .* of CDravikView' "$log"; do
        if ! kill -0 "$pid" 2>/dev/null || ((SECONDS >= deadline)); then
            kill "$pid" 2>/dev/null || true
            wait "$pid" || true
            echo "      the dialog was never painted:"
            tail -5 "$log" | sed 's/^/      | /'
            return 1
        fi
        sleep 0.1
    done
    kill -TERM "$pid"
    wait "$pid" || status=$?
    echo "      dialog painted; ended by SIGTERM with status $status"
    if grep -v '^qt.widgets.painting: ' "$log" | grep -q .; then
        grep -v '^qt.widgets.painting: ' "$log" | head -5 | sed 's/^/      | /'
        return 1
    fi
    [[ $status -eq 143 ]]
}
check "unpacked Dravik shows its dialog on Qt's offscreen platform and ends cleanly" \
    dravik_smoke_run

# --- installed on this machine ---------------------------------------------------------------

if [[ $(id -u) -ne 0 ]]; then
    fail "apt-get install: this check installs the package for real and needs root"
elif dpkg-query -W -f='${Status}' dravik 2>/dev/null | grep -q "install ok installed"; then
    # Purging afterwards would take away an installation someone relies on.
    fail "apt-get install: dravik is installed on this machine already; purge it first"
else
    installed=1
    if DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$work/install.log" 2>&1; then
        pass "apt-get install $(basename "$deb")"
        on_path() {
            [[ $(command -v "$1") == /usr/bin/$1 ]] && prints_version "$1"
        }
        for program in "${programs[@]}"; do
            check "installed $program is on PATH and prints $version" on_path "$program"
        done
        echo "   dpkg -L dravik:"
        dpkg -L dravik | sed 's/^/      /'
    else
        fail "apt-get install $(basename "$deb")"
        tail -20 "$work/install.log" | sed 's/^/      | /'
    fi
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q dravik >"$work/purge.log" 2>&1 || true
    installed=0
    purged() {
        local status
        status=$(dpkg-query -W -f='${db:Status-Status}' dravik 2>/dev/null) || true
        [[ -z $status || $status == not-installed ]] &&
            ! [[ -e /usr/bin/Dravik || -e /usr/share/doc/dravik ]]
    }
    check "apt-get purge leaves nothing behind" purged
fi

summary

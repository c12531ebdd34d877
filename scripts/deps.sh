#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools this machine lacks.
# Usage: scripts/deps.sh [run|test]   (run: what ./run.sh needs; test: everything)
#
# A package mirror can be mid-sync: then `apt-get update` fails for some of its indexes. The
# update is tried once more after a pause, and the run goes on with the indexes it has, naming
# those that failed; it fails only when a package it needs cannot be installed.
#
# The 32-bit Windows test stack (32-bit Wine, and the 32-bit C compiler for the Wine harness's
# shim) is wanted only where the kernel executes i386 code, and is not required: when apt cannot
# install it (no i386 index, or i386 libraries that do not match the amd64 ones installed), its
# reason goes to build/deps/wine32.reason and test.sh tests the 64-bit twin instead.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/win32-host.sh
source scripts/win32-host.sh

mode=${1:-test}
readonly UPDATE_RETRY_PAUSE=15

packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev
          qt6-base-dev libgl-dev fonts-wqy-zenhei xvfb
          libcli11-dev nlohmann-json3-dev libutfcpp-dev help2man dpkg-dev mono-mcs)
win32_stack=()
if [[ $mode == test ]]; then
    packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 fonts-wine
               xdotool x11-apps imagemagick clang libclang-rt-14-dev
               python3 python3-pefile python3-serial python3-pytest fonts-wqy-microhei
               lintian desktop-file-utils unzip locales file bash-completion fontconfig man-db
               pkgconf mono-runtime procps)
    rm -f "$WIN32_HOST_REASON_FILE"
    kernel_runs_i386 && win32_stack=(wine32:i386 gcc-multilib)
fi

# The packages named that are not installed, one a line.
not_installed() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}
mapfile -t missing < <(not_installed "${packages[@]}")
mapfile -t missing_win32 < <(not_installed "${win32_stack[@]}")
[[ ${#missing[@]} -eq 0 && ${#missing_win32[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]} ${missing_win32[*]} (run as root, or install them)" >&2
    [[ ${#missing[@]} -eq 0 ]] || exit 1
    echo "32-bit Wine is missing; the Windows tests will run on the 64-bit twin" >&2
    exit 0
fi
if [[ ${#missing_win32[@]} -gt 0 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi

# apt-get update, once more after a pause when an index failed; then on with what it has.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
update_log=$work/update.log
update() { apt-get update -q >"$update_log" 2>&1; }
if ! update; then
    echo "apt-get update failed for some indexes; trying again in $UPDATE_RETRY_PAUSE s"
    sleep "$UPDATE_RETRY_PAUSE"
    if ! update; then
        echo "apt-get update failed again; going on without these indexes:"
        sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/  \1/p' "$update_log" | sort -u
    fi
fi

export DEBIAN_FRONTEND=noninteractive
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "installing: ${missing[*]}"
    if ! apt-get install -y -q --no-install-recommends "${missing[@]}"; then
        echo "scripts/deps.sh: cannot install what this run needs: ${missing[*]}" >&2
        exit 1
    fi
fi
if [[ ${#missing_win32[@]} -gt 0 ]]; then
    echo "installing the 32-bit Windows test stack: ${missing_win32[*]}"
    install_log=$work/install.log
    if ! apt-get install -y -q --no-install-recommends "${missing_win32[@]}" >"$install_log" 2>&1; then
        # apt's first unmet dependency says the most; its last error line otherwise.
        reason=$(grep -m1 -E '^ +[^ ]+ : (Pre)?Depends: ' "$install_log" | sed 's/^ *//') ||
            reason=$(grep '^E: ' "$install_log" | tail -1 | sed 's/^E: //') || reason="apt-get failed"
        mkdir -p "$(dirname "$WIN32_HOST_REASON_FILE")"
        echo "$reason" >"$WIN32_HOST_REASON_FILE"
        echo "32-bit Wine cannot be installed here: $reason"
        echo "the Windows tests will run on the 64-bit twin"
    fi
fi

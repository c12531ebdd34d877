#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools this machine lacks.
# Usage: scripts/deps.sh [run|test]   (run: what ./run.sh needs; test: everything)
set -euo pipefail

mode=${1:-test}

packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev
          qt6-base-dev libgl-dev fonts-wqy-zenhei xvfb
          libcli11-dev nlohmann-json3-dev libutfcpp-dev help2man)
if [[ $mode == test ]]; then
    packages+=(g++-mingw-w64-i686-posix xdotool x11-apps imagemagick
               clang libclang-rt-14-dev wine wine32:i386 fonts-wine gcc-multilib
               g++-mingw-w64-x86-64-posix wine64
               python3 python3-pefile python3-serial fonts-wqy-microhei
               lintian desktop-file-utils unzip locales)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Builds the Linux and Windows programs and runs every test; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh test

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

build linux
build windows
ctest --preset linux

# The same suites under AddressSanitizer+UBSan and ThreadSanitizer.
for preset in linux-asan linux-tsan; do
    build "$preset"
    ctest --preset "$preset"
done

# The Windows programs under Wine and Xvfb, against the simulated meter. Where the kernel
# executes no 32-bit code (some virtual machines run 64-bit user code only), the same sources
# are built and tested as a 64-bit program instead; the shipped program stays the 32-bit one.
source tests/wine/wine-session.sh
wine_build=build/windows
if ! ws_host_runs_win32; then
    echo "== this machine executes no 32-bit code: the Windows tests run on the 64-bit twin"
    build windows-x64
    wine_build=build/windows-x64
fi
tests/wine/run-wine-tests.sh "$wine_build" build/linux

# A minute of fuzzing for each libFuzzer target.
fuzz/run.sh 60

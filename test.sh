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

# The Windows programs under Wine and Xvfb, against the simulated meter.
tests/wine/run-wine-tests.sh build/windows build/linux

# A minute of fuzzing for each libFuzzer target.
fuzz/run.sh 60

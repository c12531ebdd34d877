#!/usr/bin/env bash
# Builds the Linux and Windows programs and runs every test; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh test

# Each stage says when it starts, so a slow one shows in the log.
stage() { echo "== $* (at ${SECONDS} s)"; }

# build PRESET [CONFIGURE OPTION...]
build() {
    stage "build $1"
    cmake --preset "$1" "${@:2}" >/dev/null
    cmake --build --preset "$1"
}

# Where the kernel executes no 32-bit code (some virtual machines run 64-bit user code only), the
# 32-bit Windows programs are only built (they are what ships, and the resources and package
# checks read them); their tests run under Wine on a 64-bit twin of the same sources instead.
source tests/wine/wine-session.sh
windows_tests=ON
ws_host_runs_win32 || windows_tests=OFF

build linux
build windows -DBUILD_TESTING=$windows_tests
stage "tests linux"
ctest --preset linux

# The same suites under AddressSanitizer+UBSan and ThreadSanitizer.
for preset in linux-asan linux-tsan; do
    build "$preset"
    stage "tests $preset"
    ctest --preset "$preset"
done

# The Windows programs under Wine and Xvfb, against the simulated meter.
wine_build=build/windows
if [[ $windows_tests == OFF ]]; then
    echo "== this machine executes no 32-bit code: the Windows tests run on the 64-bit twin"
    build windows-x64
    wine_build=build/windows-x64
fi
stage "Wine tests on $wine_build"
tests/wine/run-wine-tests.sh "$wine_build" build/linux

# The Debian package and the Windows zip: built, read back, the .deb installed with apt-get and
# purged again, and dravik-cli.exe run from the unzipped copy under Wine (the twin's, as above).
stage "packages"
cmake --build --preset linux --target package
cmake --build --preset windows --target package
[[ $wine_build == build/windows ]] || cmake --build --preset windows-x64 --target package
tests/packaging/check-deb.sh build/linux
tests/packaging/check-zip.sh build/windows "$wine_build"

# A minute of fuzzing for each libFuzzer target.
stage "fuzzing"
fuzz/run.sh 60
stage "all passed"

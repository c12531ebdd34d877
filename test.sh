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

# Where 32-bit Wine cannot run (a kernel that executes no 32-bit code, or 32-bit Wine that apt
# could not install), the 32-bit Windows programs are only built (they are what ships, and the
# resources and package checks read them); their tests run under Wine on a 64-bit twin of the
# same sources instead. The last line of the run says which was tested, and why.
source scripts/win32-host.sh
obstacle=$(win32_test_obstacle)
windows_tests=ON
tested="32-bit (shipped)"
if [[ -n $obstacle ]]; then
    windows_tests=OFF
    tested="64-bit twin ($obstacle)"
fi
verdict="Windows tests: not passed (the run stopped before they passed)"
trap 'echo "$verdict"' EXIT

build linux
build windows -DBUILD_TESTING=$windows_tests
stage "tests linux"
ctest --preset linux

# Every benchmark once, in its short mode, its figures in the log. A missed target is only
# printed; a benchmark that fails (the meter not answering, a program failing) fails the run.
stage "benchmarks"
for bench in build/linux/bin/bench-*; do
    echo "-- ${bench##*/}"
    DRAVIK_BENCH_QUICK=1 "$bench"
done

# The same suites under AddressSanitizer+UBSan and ThreadSanitizer.
for preset in linux-asan linux-tsan; do
    build "$preset"
    stage "tests $preset"
    ctest --preset "$preset"
done

# The Windows programs under Wine and Xvfb, against the simulated meter.
wine_build=build/windows
if [[ $windows_tests == OFF ]]; then
    echo "== $obstacle: the Windows tests run on the 64-bit twin"
    build windows-x64 -DBUILD_TESTING=ON
    wine_build=build/windows-x64
fi
stage "Wine tests on $wine_build"
tests/wine/run-wine-tests.sh "$wine_build" build/linux
verdict="Windows tests: $tested"

# The Debian packages and the Windows zips: built, read back, the .debs installed with apt-get
# and purged again, and dravik-cli.exe run from the unzipped copy under Wine (the twin's, as
# above). The 64-bit twin's zip ships as well, for 64-bit hosts of dravik.dll: where its tests
# were not needed, only what it holds is built.
stage "packages"
[[ $wine_build == build/windows-x64 ]] || build windows-x64 -DBUILD_TESTING=OFF
cmake --build --preset linux --target package
cmake --build --preset windows --target package
cmake --build --preset windows-x64 --target package
tests/packaging/check-deb.sh build/linux
tests/packaging/check-zip.sh build/windows build/windows-x64 "$wine_build"

# Half a minute of fuzzing for each libFuzzer target, both at once.
stage "fuzzing"
fuzz/run.sh 30
stage "all passed"

#!/usr/bin/env bash
# Checks the Windows zip that `cmake --build --preset windows --target package` wrote: it holds
# Dravik.exe, dravik-cli.exe and README.txt (CRLF, UTF-8 with a byte-order mark), and the
# unzipped dravik-cli.exe prints the version under Wine.
#
# usage: tests/packaging/check-zip.sh WINDOWS_BUILD_DIR [WINE_BUILD_DIR]
#   e.g. tests/packaging/check-zip.sh build/windows build/windows-x64
# The zip checked is WINDOWS_BUILD_DIR's. On hosts that execute no 32-bit code its programs
# cannot run: the one run under Wine is then unzipped from WINE_BUILD_DIR's zip, the 64-bit twin
# of the same sources (preset windows-x64), and the output says so. Wine runs in the masked
# session of tests/wine/wine-session.sh. Ends with "N passed, N failed"; non-zero on a failure.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/wine/wine-session.sh
source "$here/../wine/wine-session.sh"

readonly RUN_LIMIT=60

# --- inside the namespace: dravik-cli.exe --version under Wine -------------------------------

if [[ ${WS_IN_NAMESPACE:-} == 1 ]]; then
    trap wine_session_cleanup EXIT
    wine_session_mask_serial
    wine_session_start_x
    wine_session_init_prefix
    output=$(wine_cmd timeout -k 5 "$RUN_LIMIT" wine "$WS_DIR/run/dravik-cli.exe" --version |
        tr -d '\r') || {
        echo "      dravik-cli.exe --version failed: $output"
        exit 1
    }
    echo "      $output"
    [[ $(head -1 <<<"$output") == *" $WS_VERSION" ]]
    exit
fi

# --- outside: the zip and README.txt ---------------------------------------------------------

# shellcheck source=tests/packaging/checks.sh
source "$here/checks.sh"

[[ $# -eq 1 || $# -eq 2 ]] || {
    echo "usage: $0 WINDOWS_BUILD_DIR [WINE_BUILD_DIR]" >&2
    exit 2
}
build=$(cd "$1" && pwd)
wine_build=$(cd "${2:-$1}" && pwd)
version=$(project_version "$build")
zip="$build/Dravik-${version}-win32.zip"

WS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/dravik-zip.XXXXXX")
trap 'rm -rf "$WS_DIR"' EXIT

echo "== $zip"
[[ -f $zip ]] || {
    echo "no $zip: cmake --build --preset windows --target package writes it" >&2
    exit 1
}
holds_the_three_files() {
    local listing
    listing=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
    echo "      $listing"
    [[ $listing == "Dravik.exe README.txt dravik-cli.exe " ]]
}
check "the zip holds Dravik.exe, dravik-cli.exe and README.txt, nothing else" \
    holds_the_three_files

unzip -q "$zip" -d "$WS_DIR/shipped"
readme="$WS_DIR/shipped/README.txt"
readme_has_bom() {
    [[ $(head -c 3 "$readme" | od -An -tx1 | tr -d ' ') == efbbbf ]]
}
readme_is_utf8_with_chinese() {
    iconv -f UTF-8 -t UTF-8 "$readme" >/dev/null && grep -qF "没找到待测表串口！" "$readme"
}
# No line without its CR, the last one included.
readme_has_crlf_lines() {
    [[ $(tail -c 2 "$readme" | od -An -tx1 | tr -d ' ') == 0d0a ]] && ! grep -qv $'\r$' "$readme"
}
check "README.txt starts with the UTF-8 byte-order mark" readme_has_bom
check "README.txt is valid UTF-8 and holds the Chinese the programs show" \
    readme_is_utf8_with_chinese
check "every line of README.txt ends in CRLF" readme_has_crlf_lines

# --- under Wine ------------------------------------------------------------------------------

if [[ $wine_build == "$build" ]]; then
    run_zip=$zip
    what="the shipped 32-bit dravik-cli.exe"
else
    run_zip=$(compgen -G "$wine_build/Dravik-${version}-win*.zip" | head -1) || true
    what="the 64-bit twin's dravik-cli.exe (the 32-bit one cannot run here)"
fi
if [[ -z $run_zip || ! -f $run_zip ]]; then
    fail "no zip in $wine_build to run under Wine"
else
    echo "== under Wine: $what, unzipped from $(basename "$run_zip")"
    unzip -q "$run_zip" -d "$WS_DIR/run"
    WS_WINE_ARCH=$(ws_pe_arch "$WS_DIR/run/Dravik.exe")
    export WS_WINE_ARCH
    ws_require wine wineserver wineboot Xvfb unshare timeout gcc "$(ws_mingw_gcc)"
    wine_session_build_helpers "$WS_DIR" "$here/../wine"
    export WS_DIR WS_VERSION=$version
    check "$what --version prints $version under Wine" wine_session_enter "$here/$(basename "$0")"
fi

summary

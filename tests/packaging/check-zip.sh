#!/usr/bin/env bash
# Checks the Windows zips that `cmake --build --preset <windows|windows-x64> --target package`
# wrote: each holds Dravik.exe, dravik-cli.exe, README.txt (CRLF, UTF-8 with a byte-order mark,
# saying which host loads which zip's DLL), and dravik.dll of the zip's architecture, static,
# exporting the undecorated names of dravik.def, with dravik.h and dravik.def; Dravik.Net.dll
# (IL only, any CPU) with its XML documentation and its mono map; and the unzipped dravik-cli.exe
# prints the version under Wine.
#
# usage: tests/packaging/check-zip.sh WINDOWS_BUILD_DIR TWIN_BUILD_DIR [WINE_BUILD_DIR]
#   e.g. tests/packaging/check-zip.sh build/windows build/windows-x64
# WINDOWS_BUILD_DIR has the shipped 32-bit zip, TWIN_BUILD_DIR the 64-bit one (preset
# windows-x64), for 64-bit hosts of the DLL. The one run under Wine is WINE_BUILD_DIR's
# (default: WINDOWS_BUILD_DIR's): the twin's on hosts that execute no 32-bit code, and the
# output says so. Wine runs in the masked session of tests/wine/wine-session.sh. Ends with
# "N passed, N failed"; non-zero on a failure.
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

[[ $# -eq 2 || $# -eq 3 ]] || {
    echo "usage: $0 WINDOWS_BUILD_DIR TWIN_BUILD_DIR [WINE_BUILD_DIR]" >&2
    exit 2
}
build=$(cd "$1" && pwd)
twin_build=$(cd "$2" && pwd)
wine_build=$(cd "${3:-$1}" && pwd)
version=$(project_version "$build")
root_dir=$(cd "$here/../.." && pwd)

WS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/dravik-zip.XXXXXX")
trap 'rm -rf "$WS_DIR"' EXIT

# The programs, the library's three files, and the Python package with its own dravik.dll.
python_files=(python/dravik/dravik.dll python/dravik/py.typed)
for module in "$root_dir"/python/dravik/*.py; do
    python_files+=("python/dravik/${module##*/}")
done
holds_its_files() {
    diff <(printf '%s\n' Dravik.exe README.txt dravik-cli.exe dravik.def dravik.dll dravik.h \
        Dravik.Net.dll Dravik.Net.dll.config Dravik.Net.xml "${python_files[@]}" | sort) \
        <(unzip -Z1 "$zip" | grep -v '/$' | sort) | sed 's/^/      /'
    [[ ${PIPESTATUS[0]} -eq 0 ]]
}
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
# Names this zip's DLL and the other zip, for the hosts of the other kind.
readme_says_which_host() {
    tr -d '\r' <"$readme" | tr '\n' ' ' |
        grep -qE "dravik\.dll is the ${bits}-bit one, for ${bits}-bit hosts.* Dravik-${version//./\\.}-win${other_bits}\.zip"
}
dll_is_of_the_zip() {
    [[ $(ws_pe_arch "$unzipped/dravik.dll") == "win$bits" ]]
}
objdump_of_zip() {
    if [[ $bits == 64 ]]; then x86_64-w64-mingw32-objdump "$@"; else i686-w64-mingw32-objdump "$@"; fi
}
exports_dravik_def() {
    diff <(sed -n 's/^ *\(dravik_[a-z_]*\)$/\1/p' "$root_dir/libdravik/dravik.def" | sort) \
        <(objdump_of_zip -p "$unzipped/dravik.dll" |
            sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort) |
        sed 's/^/      /'
    [[ ${PIPESTATUS[0]} -eq 0 ]]
}
# Static like the programs: the DLL needs nothing but Windows' own DLLs.
dll_needs_only_windows() {
    local needed
    needed=$(objdump_of_zip -p "$unzipped/dravik.dll" | sed -n 's/^\s*DLL Name: //p' | sort | tr '\n' ' ')
    echo "      $needed"
    [[ $needed == "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ]]
}
same_as_source() {
    cmp "$unzipped/dravik.h" "$root_dir/libdravik/dravik.h" &&
        cmp "$unzipped/dravik.def" "$root_dir/libdravik/dravik.def"
}
python_package_is_the_trees() {
    local module
    for module in "$root_dir"/python/dravik/*.py; do
        cmp "$unzipped/python/dravik/${module##*/}" "$module" || return 1
    done
    cmp "$unzipped/python/dravik/dravik.dll" "$unzipped/dravik.dll"
}
# The CLI header's flags (IMAGE_COR20_HEADER, its 16th byte on): IL only (0x1), neither 32-bit
# required (0x2) nor preferred (0x20000).
assembly_is_anycpu() {
    /usr/bin/python3 -c 'import sys, pefile
pe = pefile.PE(sys.argv[1], fast_load=True)
cli = pe.OPTIONAL_HEADER.DATA_DIRECTORY[14].VirtualAddress
sys.exit(0 if cli and pe.get_dword_at_rva(cli + 16) & 0x20003 == 1 else 1)' \
        "$unzipped/Dravik.Net.dll" &&
        grep -q '<dllmap dll="dravik" target="libdravik\.so\.[0-9]*"' \
            "$unzipped/Dravik.Net.dll.config" &&
        grep -q '<member name="M:Dravik.Meter.Set(System.String,System.Double)">' \
            "$unzipped/Dravik.Net.xml"
}
readme_says_how_net_hosts_load_it() {
    tr -d '\r' <"$readme" | tr '\n' ' ' |
        grep -E 'TestStand, \.NET adapter: .*Class Dravik\.Meter' |
        grep -qE 'LabVIEW: a \.NET Constructor Node .*class Meter'
}
readme_says_which_python() {
    tr -d '\r' <"$readme" | tr '\n' ' ' |
        grep -qE "a 64-bit Python needs the 64-bit zip \(Dravik-${version//./\\.}-win64\.zip\)"
}

for bits in 32 64; do
    other_bits=$((96 - bits))
    [[ $bits == 32 ]] && dir=$build || dir=$twin_build
    zip="$dir/Dravik-${version}-win${bits}.zip"
    echo "== $zip"
    [[ -f $zip ]] || {
        echo "no $zip: cmake --build --preset windows$([[ $bits == 64 ]] && echo -x64) --target package writes it" >&2
        exit 1
    }
    unzipped="$WS_DIR/win$bits"
    unzip -q "$zip" -d "$unzipped"
    readme="$unzipped/README.txt"
    check "the zip holds the programs, README.txt, dravik.dll, .h, .def and python/dravik" \
        holds_its_files
    check "README.txt starts with the UTF-8 byte-order mark" readme_has_bom
    check "README.txt is valid UTF-8 and holds the Chinese the programs show" \
        readme_is_utf8_with_chinese
    check "every line of README.txt ends in CRLF" readme_has_crlf_lines
    check "README.txt says its dravik.dll is for ${bits}-bit hosts, the other zip's for the others" \
        readme_says_which_host
    check "dravik.dll is a ${bits}-bit DLL" dll_is_of_the_zip
    check "dravik.dll exports the undecorated names of dravik.def and nothing else" exports_dravik_def
    check "dravik.dll needs no DLL but Windows' own (libgcc, libstdc++, winpthread linked in)" \
        dll_needs_only_windows
    check "dravik.h and dravik.def are the tree's" same_as_source
    check "python/dravik holds the tree's modules and the zip's dravik.dll" \
        python_package_is_the_trees
    check "README.txt says that a 64-bit Python needs the 64-bit zip" readme_says_which_python
    check "Dravik.Net.dll is IL only for any CPU, with its mono map and documentation" \
        assembly_is_anycpu
    check "README.txt says how TestStand and LabVIEW use Dravik.Meter" \
        readme_says_how_net_hosts_load_it
done

# --- under Wine ------------------------------------------------------------------------------

if [[ $wine_build == "$build" ]]; then
    run_zip="$build/Dravik-${version}-win32.zip"
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

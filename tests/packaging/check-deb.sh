#!/usr/bin/env bash
# Checks the Debian packages that `cmake --build --preset linux --target package` wrote: lintian
# on each; dravik's file list, the programs, their manual pages and the desktop entry in an
# unpacked copy; the C library's two packages, their files, exports and shlibs; the Python
# package's files and dependencies; then a real install of all four on this machine by the
# README's apt-get line (as root), the programs found on PATH, the Chinese font it depends on, the bash completion,
# the README's C example built against the installed library through pkg-config and through
# CMake, `import dravik` in Debian's python3 and its modules byte-compiled, and the README's
# `apt-get purge` line, which runs even when a step fails.
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
lib_deb="$build/libdravik2_${version}_amd64.deb"
dev_deb="$build/libdravik-dev_${version}_amd64.deb"
py_deb="$build/python3-dravik_${version}_all.deb"
packages=(dravik libdravik2 libdravik-dev python3-dravik)
programs=(Dravik dravik-cli dravik-meter-sim)
lib_dir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
readonly SMOKE_LIMIT=30

work=$(mktemp -d "${TMPDIR:-/tmp}/dravik-deb.XXXXXX")
installed=0
cleanup() {
    if ((installed)); then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${packages[@]}" \
            >"$work/purge.log" 2>&1 || cat "$work/purge.log" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Errors and warnings fail; what is overridden is listed with the package's own reasons. They
# are read from the report: with --show-overrides, lintian's --fail-on counts the overridden
# tags as well.
lintian_clean() {
    local status=0
    lintian --show-overrides --display-info --pedantic "$1" >"$work/lintian.log" 2>&1 || status=$?
    grep -v '^running with root privileges' "$work/lintian.log" | sed 's/^/      /'
    [[ $status -eq 0 ]] && ! grep -qE '^[EW]: ' "$work/lintian.log"
}
# Informational tags too: what ships is built with dpkg-buildflags' hardening and carries no
# section a package has no use for, and man reads the manual pages without a complaint.
hardened() {
    ! grep -E ': (hardening-[a-z-]+|binary-has-unneeded-section|groff-message) ' "$work/lintian.log"
}
i=0
for file in "$deb" "$lib_deb" "$dev_deb" "$py_deb"; do
    echo "== $file"
    [[ -f $file ]] || {
        echo "no $file: cmake --build --preset linux --target package writes it" >&2
        exit 1
    }
    check "the package is ${packages[i]} $version" test \
        "$(dpkg-deb -f "$file" Package Version | tr '\n' ' ')" = "Package: ${packages[i]} Version: $version "
    check "lintian: no errors, no warnings" lintian_clean "$file"
    check "lintian -I --pedantic: no hardening, unneeded-section or groff tags" hardened
    i=$((i + 1))
done
echo "== $deb"

# Every file the package must hold: the programs, their manual pages, the desktop entry, the
# icon at every size res/ has, copyright and changelog.
expected=()
for program in "${programs[@]}"; do
    expected+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz")
done
expected+=(usr/share/applications/dravik.desktop usr/share/doc/dravik/copyright
           usr/share/doc/dravik/changelog.gz usr/share/bash-completion/completions/dravik-cli)
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
# What a script author looks up beyond --help: each page's sections (from packaging/*.h2m and
# from --help) and the words that must be in them.
declare -A man_sections=(
    [Dravik]="DESCRIPTION|STATUS LINE|ENVIRONMENT|FILES|SEE ALSO"
    [dravik-cli]="SYNOPSIS|DESCRIPTION|OPTIONS|COMMANDS|JSON OUTPUT|LOG FILE|EXIT STATUS|ENVIRONMENT|FILES|EXAMPLES|SEE ALSO"
    [dravik-meter-sim]="OPTIONS|EXAMPLES|SEE ALSO"
)
declare -A man_terms=(
    [Dravik]="DRAVIK_EXTRA_PORTS /run/lock/LCK.. 没找到待测表串口！ dravik-cli(1)"
    [dravik-cli]="--port --json --log --all --tag DRAVIK_EXTRA_PORTS /run/lock/LCK.. 128+N
                  time,port,channel,label,text,db,factor,frame,answered,event,sent,late,reply,tags"
    [dravik-meter-sim]="--link DRAVIK_EXTRA_PORTS Dravik(1) dravik-cli(1)"
)
man_page_documents() {
    local program=$1 page=$2 text section term missing=0
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page") || return 1
    IFS='|' read -ra sections <<<"${man_sections[$program]}"
    for section in "${sections[@]}"; do
        grep -qxF "$section" <<<"$text" || {
            echo "      no section $section"
            missing=1
        }
    done
    for term in ${man_terms[$program]}; do
        grep -qF -- "$term" <<<"$text" || {
            echo "      not in the page: $term"
            missing=1
        }
    done
    return "$missing"
}
for program in "${programs[@]}"; do
    page="$work/root/usr/share/man/man1/$program.1.gz"
    check "unpacked $program --version prints $version" \
        prints_version "$work/root/usr/bin/$program"
    check "the manual page of $program is made from this build" \
        man_page_of_build "$page" "$program"
    check "the manual page of $program has its sections and what scripts need" \
        man_page_documents "$program" "$page"
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

# --- the C library's packages -----------------------------------------------------------------

echo "== $lib_deb, $dev_deb"
# The files each holds, links included, and nothing else.
holds_exactly() {
    local listing
    listing=$(dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
    shift
    diff <(printf '%s\n' "$@" | sort) <(echo "$listing") | sed 's/^/      /'
    [[ ${PIPESTATUS[0]} -eq 0 ]]
}
doc_files() { echo "usr/share/doc/$1/copyright usr/share/doc/$1/changelog.gz"; }
# shellcheck disable=SC2046  # word-split on purpose
check "libdravik2 holds libdravik.so.2 and its file, and its documents" holds_exactly "$lib_deb" \
    "$lib_dir/libdravik.so.2" "$lib_dir/libdravik.so.$version" $(doc_files libdravik2) \
    usr/share/lintian/overrides/libdravik2
# shellcheck disable=SC2046
check "libdravik-dev holds dravik.h, the link, dravik.pc, the CMake package, documents, example" \
    holds_exactly "$dev_deb" usr/include/dravik.h "$lib_dir/libdravik.so" \
    "$lib_dir/pkgconfig/dravik.pc" "$lib_dir/cmake/dravik/dravikConfig.cmake" \
    "$lib_dir/cmake/dravik/dravikConfigVersion.cmake" "$lib_dir/cmake/dravik/dravikTargets.cmake" \
    "$lib_dir/cmake/dravik/dravikTargets-relwithdebinfo.cmake" $(doc_files libdravik-dev) \
    usr/share/doc/libdravik-dev/examples/set_four.c
check "libdravik-dev depends on this libdravik2" \
    test "$(dpkg-deb -f "$dev_deb" Depends)" = "libdravik2 (= $version)"
dpkg-deb -x "$lib_deb" "$work/lib"
so="$work/lib/$lib_dir/libdravik.so.$version"
# Exactly the calls of dravik.def, the list the Windows DLL exports too.
exports_dravik_calls() {
    diff <(sed -n 's/^ *\(dravik_[a-z_]*\)$/\1/p' "$root_dir/libdravik/dravik.def" | sort) \
        <(nm -D --defined-only "$so" | awk '{ print $3 }' | sort) | sed 's/^/      /'
    [[ ${PIPESTATUS[0]} -eq 0 ]]
}
check "libdravik.so exports the calls of dravik.def and nothing else" exports_dravik_calls
check "its SONAME is libdravik.so.2" \
    test "$(objdump -p "$so" | awk '$1 == "SONAME" { print $2 }')" = libdravik.so.2
control_file() { dpkg-deb --ctrl-tarfile "$lib_deb" | tar -xO "./$1"; }
check "its shlibs file names libdravik2 (>= $version)" \
    test "$(control_file shlibs)" = "libdravik 2 libdravik2 (>= $version)"
check "it activates the ldconfig trigger" grep -qxF "activate-noawait ldconfig" <(control_file triggers)

# --- the Python package -----------------------------------------------------------------------

echo "== $py_deb"
py_dir=usr/lib/python3/dist-packages/dravik
py_files=()
for module in "$root_dir"/python/dravik/*.py; do
    py_files+=("$py_dir/${module##*/}")
done
# shellcheck disable=SC2046
check "python3-dravik holds the package's ${#py_files[@]} modules, py.typed, its documents and example" \
    holds_exactly "$py_deb" "${py_files[@]}" "$py_dir/py.typed" $(doc_files python3-dravik) \
    usr/share/doc/python3-dravik/examples/set_four.py
check "python3-dravik is for every architecture, on python3 and this libdravik2" test \
    "$(dpkg-deb -f "$py_deb" Architecture Depends | tr '\n' ' ')" = \
    "Architecture: all Depends: python3, libdravik2 (= $version) "

# --- installed on this machine ---------------------------------------------------------------

# The status line and the message boxes are Chinese: a package the font dependency names must
# own a font that fontconfig lists for Chinese.
cjk_font_from_dependency() {
    local owners
    owners=$(fc-list :lang=zh-cn file | sed 's/: *$//' | xargs -r -d '\n' dpkg -S 2>/dev/null | cut -d: -f1)
    echo "      Chinese fonts come from: $(sort -u <<<"$owners" | tr '\n' ' ')"
    dpkg-deb -f "$deb" Depends | tr -s ', |' '\n' | grep -qxF -f <(echo "$owners")
}

# Runs SCRIPT in a new bash after bash-completion's loader has looked for dravik-cli's
# completion, as at the first <Tab>.
after_completion_loader() {
    bash --norc --noprofile -c "source /usr/share/bash-completion/bash_completion
        _completion_loader dravik-cli
        $1"
}
completion_loads() {
    local line
    line=$(after_completion_loader "complete -p dravik-cli") || return 1
    echo "      $line"
    [[ $line == "complete -F _dravik_cli dravik-cli" ]]
}

# What <Tab> offers after each command line (cursor at its end). A stand-in dravik-cli on PATH
# answers `ports` with two made-up ports: the real one would look at this machine's serial
# devices. compopt works only inside real completion, so it is stubbed.
completion_cases=(
    "dravik-cli |ports find set --help --version"
    "dravik-cli find -|--all --json --help"
    "dravik-cli set --json --|--port --log --tag --help"
    "dravik-cli set 1310cw=0.3 1|1310Burst= 1490CW= 1550CW="
    "dravik-cli set 3=1 --tag 1490cw=x 1|1310CW= 1310Burst= 1490CW="
    "dravik-cli set 1550CW=|"
    "dravik-cli set --port |/dev/ttyUSB9 /tmp/meter"
    "dravik-cli set --port=/tmp/|/tmp/meter"
)
completes_as_expected() {
    local stub="$work/stub" case line expected offered failed=0
    mkdir -p "$stub"
    cat >"$stub/dravik-cli" <<'EOF'
#!/bin/sh
[ "$1" = ports ] && printf '/dev/ttyUSB9\tcp210x\t未见占用\n/tmp/meter\tDRAVIK_EXTRA_PORTS\t未见占用\n'
EOF
    chmod +x "$stub/dravik-cli"
    for case in "${completion_cases[@]}"; do
        line=${case%%|*}
        expected=${case#*|}
        # shellcheck disable=SC2016  # expanded by the inner bash
        offered=$(PATH="$stub:$PATH" LINE=$line after_completion_loader '
            compopt() { :; }
            COMP_LINE=$LINE COMP_POINT=${#LINE}
            read -ra COMP_WORDS <<<"$LINE"
            [[ $LINE == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            _dravik_cli dravik-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            echo "${COMPREPLY[*]}"') || offered="(failed)"
        if [[ $offered != "$expected" ]]; then
            echo "      '$line': offered '$offered', expected '$expected'"
            failed=1
        fi
    done
    return "$failed"
}

# The README's example, built against the installed library by pkg-config and by CMake, links
# the installed libdravik.so.2 (found in /lib or /usr/lib, one directory on a merged /usr).
example_links_installed() {
    echo "      $(ldd "$1" | grep -F libdravik)"
    # Not grep -q: its early exit would end ldd by SIGPIPE, which pipefail counts as a failure.
    ldd "$1" | grep -E "libdravik\.so\.2 => (/usr)?/${lib_dir#usr/}/libdravik\.so\.2 " >/dev/null
}
example_by_pkg_config() {
    # shellcheck disable=SC2046  # pkg-config's flags are words
    cc -std=c99 -Wall -Wextra -Werror -o "$work/set_four-pc" "$root_dir/examples/set_four.c" \
        $(pkg-config --cflags --libs dravik) && example_links_installed "$work/set_four-pc"
}
example_by_cmake() {
    mkdir -p "$work/consumer"
    cp "$root_dir/examples/set_four.c" "$work/consumer/"
    cat >"$work/consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(dravik 1 REQUIRED)
add_executable(set_four set_four.c)
target_link_libraries(set_four PRIVATE dravik::dravik)
EOF
    if ! { cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja &&
        cmake --build "$work/consumer/build"; } >"$work/consumer.log" 2>&1; then
        tail -10 "$work/consumer.log" | sed 's/^/      | /'
        return 1
    fi
    example_links_installed "$work/consumer/build/set_four"
}

# From a directory of its own, with nothing pointing at the tree or the build: the package as a
# station's script finds it.
imports_installed_dravik() {
    local line
    line=$(cd "$work" && env -u DRAVIK_LIBRARY -u PYTHONPATH \
        /usr/bin/python3 -B -c "import dravik; print(dravik.__file__, dravik.library_version())") ||
        return 1
    echo "      $line"
    [[ $line == "/$py_dir/__init__.py $version" ]]
}
byte_compiled() {
    local file missing=0
    for file in "${py_files[@]}"; do
        file=${file##*/}
        compgen -G "/$py_dir/__pycache__/${file%.py}.cpython-*.pyc" >/dev/null || {
            echo "      no byte-compiled ${file}"
            missing=1
        }
    done
    return "$missing"
}

installed_already=$({ dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null ||
    true; } | awk '/install ok installed/ { print $1 }' | tr '\n' ' ')
if [[ $(id -u) -ne 0 ]]; then
    fail "apt-get install: this check installs the packages for real and needs root"
elif [[ -n $installed_already ]]; then
    # Purging afterwards would take away an installation someone relies on.
    fail "apt-get install: ${installed_already}installed on this machine already; purge first"
else
    installed=1
    # Installed and purged by the README's own lines, run as printed in the folder of the
    # packages, its questions answered yes.
    readme_line() {
        sed -n '/^## Install/,/^## [^I]/p' "$root_dir/README.md" | sed -n "s/^ *\(apt-get $1 .*\)/\1/p"
    }
    install_line=$(readme_line install)
    purge_line=$(readme_line purge)
    if [[ -n $install_line && -n $purge_line ]] && (cd "$build" &&
        DEBIAN_FRONTEND=noninteractive bash -c "$install_line" < <(yes)) >"$work/install.log" 2>&1
    then
        pass "the README's $install_line"
        on_path() {
            [[ $(command -v "$1") == /usr/bin/$1 ]] && prints_version "$1"
        }
        for program in "${programs[@]}"; do
            check "installed $program is on PATH and prints $version" on_path "$program"
        done
        check "a Chinese font that fontconfig finds comes from the font dependency" \
            cjk_font_from_dependency
        check "bash-completion loads the installed completion: complete -p dravik-cli" \
            completion_loads
        check "completing dravik-cli offers commands, options, channels and listed ports" \
            completes_as_expected
        check "pkg-config knows dravik $version" test "$(pkg-config --modversion dravik)" = "$version"
        check "the C example builds with pkg-config against the installed library" \
            example_by_pkg_config
        check "the C example builds with CMake's find_package(dravik)" example_by_cmake
        check "py3compile byte-compiled each module at install" byte_compiled
        check "Debian's python3 imports the installed dravik, which loads libdravik $version" \
            imports_installed_dravik
        echo "   dpkg -L dravik:"
        dpkg -L dravik | sed 's/^/      /'
    else
        fail "the README's install line: ${install_line:-(not found)}"
        tail -20 "$work/install.log" | sed 's/^/      | /'
    fi
    DEBIAN_FRONTEND=noninteractive bash -c "$purge_line" < <(yes) >"$work/purge.log" 2>&1 || true
    purged() {
        local package status
        for package in "${packages[@]}"; do
            status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) || true
            [[ -z $status || $status == not-installed ]] || return 1
        done
        ! [[ -e /usr/bin/Dravik || -e /usr/share/doc/dravik || -e /$lib_dir/libdravik.so.2 ||
            -e /usr/include/dravik.h || -e /usr/share/doc/libdravik2 || -e /$py_dir ]]
    }
    check "the README's $purge_line leaves nothing, byte-compiled files included" purged
    # What the README's line left is purged on the way out all the same.
    purged && installed=0
fi

summary

# shellcheck shell=bash
# Pieces shared by the package checks (check-deb.sh, check-zip.sh). Sourced, not run.

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    printf 'PASS  %s\n' "$*"
}
fail() {
    failed=$((failed + 1))
    printf 'FAIL  %s\n' "$*"
}
# check NAME COMMAND...: one result per check.
check() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
# The closing line; false when anything failed.
summary() {
    echo "$passed passed, $failed failed"
    [[ $failed -eq 0 ]]
}

# The version of project() that configured BUILD_DIR, the one every package name carries.
project_version() {
    local version
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt" 2>/dev/null)
    [[ -n $version ]] || {
        echo "$1 is not a configured build directory" >&2
        exit 2
    }
    echo "$version"
}

# shellcheck shell=bash
# Whether this machine can run the 32-bit Windows programs' tests, and if not, why: for
# scripts/deps.sh (which installs 32-bit Wine only where it can run), test.sh (which otherwise
# tests the 64-bit twin and says why) and tests/wine/wine-session.sh. Sourced, not run.

# deps.sh leaves apt's reason here when 32-bit Wine could not be installed.
WIN32_HOST_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/deps"
WIN32_HOST_REASON_FILE=$WIN32_HOST_DIR/wine32.reason

# Whether the kernel executes i386 code, told by running it: some virtual machines run 64-bit
# user code only, and there execve refuses every i386 program (Wine's loader among them). The
# program is 96 bytes made here: an ELF header, one program header, and exit(42) by int 0x80.
# 42 tells it from the shell's own 126/127 when the kernel refuses it. It is made in the build
# tree, which must allow execution anyway (a noexec /tmp would fail it for the wrong reason).
kernel_runs_i386() {
    local elf status=0
    mkdir -p "$WIN32_HOST_DIR" && elf=$(mktemp "$WIN32_HOST_DIR/i386-probe.XXXXXX") || return 1
    local bytes='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    bytes+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    bytes+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
    bytes+='\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'
    bytes+='\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00'
    bytes+='\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'
    printf "$bytes" >"$elf"
    chmod +x "$elf"
    "$elf" 2>/dev/null || status=$?
    rm -f "$elf"
    [[ $status -eq 42 ]]
}

# Whether Debian's 32-bit Wine loader is installed and starts.
wine32_runs() {
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Nothing when the 32-bit Windows programs can be tested here; otherwise one line saying why not.
win32_test_obstacle() {
    if ! kernel_runs_i386; then
        echo "this kernel executes no 32-bit code"
    elif wine32_runs; then
        return 0
    elif [[ -s $WIN32_HOST_REASON_FILE ]]; then
        echo "32-bit Wine cannot be installed here: $(head -1 "$WIN32_HOST_REASON_FILE")"
    else
        echo "32-bit Wine is not installed (scripts/deps.sh test, as root, installs it)"
    fi
}

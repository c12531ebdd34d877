#!/bin/bash
# Usage: man-examples.sh MAN_DIR BIN_DIR. Each EXAMPLES block of MAN_DIR/*.1.gz
# that starts dravik-meter-sim, run as printed with BIN_DIR's programs under their installed
# names, in namespaces with an empty /tmp and /sys/class/tty (no port of this machine is listed)
# and a PID namespace. It passes when it ends with 0, no search came up empty and its link went
# away. Dravik, which waits for an operator, is ended once it runs.
set -u
if [[ ${MAN_EXAMPLES_NS:-} != 1 ]]; then
    ns=(--mount --propagation private --pid --fork --mount-proc)
    [[ $(id -u) -eq 0 ]] || ns=(--user --map-root-user "${ns[@]}")
    # Where the new /tmp is made ready, outside the namespace so that it can be removed after.
    staging=$(mktemp -d) || exit 1
    MAN_EXAMPLES_NS=1 unshare "${ns[@]}" -- bash "$0" "$(realpath "$1")" "$(realpath "$2")" \
        "$staging"
    status=$?
    rmdir "$staging"
    exit "$status"
fi
examples=()
for page in "$1"/*.1.gz; do
    while IFS= read -r -d '' example; do
        [[ $example == *dravik-meter-sim* ]] && examples+=("$example")
    done < <(zcat "$page" | sed -n '/^\.SH EXAMPLES/,/^\.SH [^E]/p' |
        awk '/^\.fi/ { printf "%s%c", b, 0; b = ""; on = 0 } on { b = b $0 "\n" } /^\.nf/ { on = 1 }' |
        sed 's/\\-/-/g; s/\\e/\\/g')
done
# The programs are copied into the new /tmp before it hides the old one: BIN_DIR may be under
# /tmp itself (a clone there).
staging=$3
mount -t tmpfs tmpfs "$staging" && mkdir "$staging/bin" &&
    cp "$2/meter-sim" "$staging/bin/dravik-meter-sim" && cp "$2/dravik-cli" "$2/Dravik" "$staging/bin/" &&
    mount --move "$staging" /tmp && mount -t tmpfs tmpfs /sys/class/tty || exit 1
export PATH=/tmp/bin:$PATH QT_QPA_PLATFORM=offscreen
failed=0
for example in "${examples[@]}"; do
    bash -c "$example" >/tmp/out 2>&1 &
    pid=$!
    for ((t = 0; t < 600; t++)); do
        kill -0 "$pid" 2>/dev/null || break
        pkill -x -P "$pid" Dravik
        sleep 0.05
    done
    kill "$pid" 2>/dev/null # still running after 30 s: it fails
    wait "$pid" && ! grep -q '没找到待测表串口\|不存在或已拔出' /tmp/out &&
        timeout 10 bash -c 'while [[ -L /tmp/meter ]]; do sleep 0.05; done' && continue
    failed=$((failed + 1))
    printf 'FAILED:\n%s-- output:\n%s\n' "$example" "$(cat /tmp/out)"
done
echo "${#examples[@]} examples run, $failed failed"
[[ ${#examples[@]} -ge 3 && $failed -eq 0 ]]

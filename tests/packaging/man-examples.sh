#!/bin/bash
# Usage: man-examples.sh MAN_DIR BIN_DIR (BIN_DIR outside /tmp). Runs, as printed, every example of the built manual
# pages (MAN_DIR/*.1.gz) that starts dravik-meter-sim, with bash, the programs of BIN_DIR under
# their installed names on PATH. It runs in namespaces of its own: an empty /tmp (the examples'
# /tmp/meter is no one else's), an empty /sys/class/tty, so that their searches list no port of
# this machine, and a PID namespace, whose processes all end with it. An example passes when it ends with status 0 (its last
# command stops the meter it started), no search came up empty and its link went away. Dravik,
# which waits for an operator, is ended once an example has started it.
set -u
if [[ ${MAN_EXAMPLES_NS:-} != 1 ]]; then
    ns=(--mount --propagation private --pid --fork --mount-proc)
    [[ $(id -u) -eq 0 ]] || ns=(--user --map-root-user "${ns[@]}")
    MAN_EXAMPLES_NS=1 exec unshare "${ns[@]}" -- bash "$0" "$(realpath "$1")" "$(realpath "$2")"
fi
examples=() pages=()
for page in "$1"/*.1.gz; do
    while IFS= read -r -d '' example; do
        [[ $example == *dravik-meter-sim* ]] && examples+=("$example") pages+=("${page##*/}")
    done < <(zcat "$page" | sed -n '/^\.SH EXAMPLES/,/^\.SH [^E]/p' |
        awk '/^\.fi/ { printf "%s%c", b, 0; b = ""; on = 0 } on { b = b $0 "\n" } /^\.nf/ { on = 1 }' |
        sed 's/\\-/-/g; s/\\e/\\/g')
done
mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /sys/class/tty || exit 1
mkdir /tmp/bin && ln -s "$2/meter-sim" /tmp/bin/dravik-meter-sim &&
    ln -s "$2/dravik-cli" "$2/Dravik" /tmp/bin/ || exit 1
export PATH=/tmp/bin:$PATH QT_QPA_PLATFORM=offscreen
failed=0
for i in "${!examples[@]}"; do
    bash -c "${examples[i]}" >/tmp/out 2>&1 &
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
    printf 'FAILED (%s):\n%s-- output:\n%s\n' "${pages[i]}" "${examples[i]}" "$(cat /tmp/out)"
done
echo "${#examples[@]} examples run, $failed failed"
[[ ${#examples[@]} -ge 3 && $failed -eq 0 ]]

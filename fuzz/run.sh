#!/usr/bin/env bash
# Short libFuzzer runs of both targets from the seed corpus; any crash or failed property exits
# non-zero. Usage: fuzz/run.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Both targets at once, one per core. New inputs go to the scratch corpus; the seeds in the tree
# stay as they are.
declare -A pids
for target in frames probe_reply; do
    mkdir -p "$work/$target"
    build/fuzz/bin/${target}_fuzz -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/$target-" "$work/$target" "fuzz/corpus/$target" \
        >"$work/$target.log" 2>&1 &
    pids[$target]=$!
done
failed=0
for target in frames probe_reply; do
    status=0
    wait "${pids[$target]}" || status=$?
    echo "fuzz: $target"
    grep -E "^(stat::number_of_executed_units|Done)" "$work/$target.log" || true
    if ((status != 0)); then
        tail -40 "$work/$target.log" >&2
        echo "fuzz: $target failed; the input that failed is kept as build/fuzz/$target-*" >&2
        failed=1
    fi
done
exit "$failed"

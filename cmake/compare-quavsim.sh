#!/usr/bin/env bash
# Runs every scenario with two quavsim programs (the host build's and the 32-bit build's, or one program
# with its built-in driver and with the loaded quav.sys) and compares what they wrote: events.jsonl,
# registry.reg, trace.csv and actions.jsonl must be equal byte for byte. The two runs of a scenario go
# side by side.
# Usage: compare-quavsim.sh QUAVSIM_A QUAVSIM_B SCENARIOS WORK_DIR [B_OPTION...]
#   SCENARIOS is a folder of .json scenarios or one scenario; B_OPTIONs go to B's runs (--image quav.sys).
set -euo pipefail

a=$1 b=$2 scenarios=$3 work=$4
shift 4
if [ -d "$scenarios" ]; then
    set -- "$@" -- "$scenarios"/*.json
else
    set -- "$@" -- "$scenarios"
fi
b_options=()
while [ "$1" != "--" ]; do
    b_options+=("$1")
    shift
done
shift
fail=0
for scenario in "$@"; do
    name=$(basename "$scenario" .json)
    rm -rf "${work:?}/$name"
    mkdir -p "$work/$name"
    "$a" run "$scenario" --out "$work/$name/a" >"$work/$name/a.log" 2>&1 &
    first=$!
    status=0
    "$b" run "$scenario" --out "$work/$name/b" "${b_options[@]}" >"$work/$name/b.log" 2>&1 || status=$?
    wait "$first" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "$name: a run failed (see $work/$name/a.log, b.log)"
        fail=1
        continue
    fi
    for file in events.jsonl registry.reg trace.csv actions.jsonl; do
        if ! cmp -s "$work/$name/a/$file" "$work/$name/b/$file"; then
            echo "$name: $file differs"
            diff "$work/$name/a/$file" "$work/$name/b/$file" | head -5
            fail=1
        fi
    done
done
[ "$fail" -eq 0 ] && echo "the same outputs from both runs on every scenario in $scenarios"
exit "$fail"

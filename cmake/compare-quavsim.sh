#!/usr/bin/env bash
# Runs every example scenario with two quavsim programs (the host build's and the 32-bit build's) and
# compares what they wrote: events.jsonl, registry.reg, trace.csv and actions.jsonl must be equal byte
# for byte. The two runs of a scenario go side by side.
# Usage: compare-quavsim.sh QUAVSIM_A QUAVSIM_B SCENARIO_DIR WORK_DIR
set -euo pipefail

a=$1 b=$2 scenarios=$3 work=$4
fail=0
for scenario in "$scenarios"/*.json; do
    name=$(basename "$scenario" .json)
    rm -rf "${work:?}/$name"
    mkdir -p "$work/$name"
    "$a" run "$scenario" --out "$work/$name/a" >"$work/$name/a.log" 2>&1 &
    first=$!
    status=0
    "$b" run "$scenario" --out "$work/$name/b" >"$work/$name/b.log" 2>&1 || status=$?
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
[ "$fail" -eq 0 ] && echo "the same outputs from both programs on every scenario in $scenarios"
exit "$fail"

#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time from its seed corpus, then prints a table of
# executions, coverage and corpus size per target. Fails when a target finds a crash, a leak, a timeout
# or a broken property; its input is kept under BUILD/artifacts for a rerun (`BUILD/fuzz/fuzz_NAME FILE`).
# Usage: fuzz.sh BUILD SECONDS [NAME...]
set -euo pipefail
build=$1 seconds=$2
shift 2
src=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -gt 0 ]; then
    names=("$@")
else
    mapfile -t names < <(find "$build/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x -printf '%f\n' |
                         sed 's/^fuzz_//' | sort)
fi
[ ${#names[@]} -gt 0 ] || { echo "fuzz: no targets in $build/fuzz" >&2; exit 1; }

mkdir -p "$build/artifacts" "$build/logs"
summary=() failed=()
for name in "${names[@]}"; do
    exe=$build/fuzz/fuzz_$name
    [ -x "$exe" ] || { echo "fuzz: no target '$name' ($exe)" >&2; exit 1; }
    corpus=$build/corpus/$name
    mkdir -p "$corpus"
    args=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1
          -artifact_prefix="$build/artifacts/$name-")
    [ -f "$src/fuzz/$name.dict" ] && args+=(-dict="$src/fuzz/$name.dict")
    seeds=()
    [ -d "$src/fuzz/corpus/$name" ] && seeds+=("$src/fuzz/corpus/$name")
    echo "fuzz: $name for ${seconds} s"
    log=$build/logs/$name.log
    # The driver's targets keep the inputs of the lifetime that failed there (QUAV_FUZZ_REPLAY=FILE reruns it).
    history=$build/artifacts/$name-lifetime
    if QUAV_FUZZ_HISTORY=$history "$exe" "${args[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        status=ok
    else
        status=FAILED
        failed+=("$name")
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|.*property)' "$log" | head -5 >&2 || true
        echo "fuzz: $name failed; its log: $log; its input: $(ls -t "$build/artifacts/$name-"* 2>/dev/null | grep -v -- -lifetime | head -1)" >&2
        [ -s "$history" ] && echo "fuzz: the inputs of its lifetime: QUAV_FUZZ_REPLAY=$history $exe" >&2
    fi
    stat() { awk -v k="$1" '$1 == "stat::"k":" {print $2}' "$log" | tail -1; }
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | awk '{print $2}')
    summary+=("$(printf '%-12s %-6s %12s %8s %8s %8s' "$name" "$status" "$(stat number_of_executed_units)" \
        "$(stat average_exec_per_sec)" "${cov:-?}" "$(find "$corpus" -type f | wc -l)")")
done

printf '%-12s %-6s %12s %8s %8s %8s\n' target result executions exec/s coverage corpus
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: ${#failed[@]} target(s) failed: ${failed[*]}" >&2
    exit 1
fi

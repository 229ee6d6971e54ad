#!/usr/bin/env bash
# Builds some targets of a configured build with one line of progress instead of the build's own output,
# which is kept in BUILD/quiet-build.log and shown only when the build fails.
#   quiet-build.sh BUILD JOBS TARGET...
set -uo pipefail
build=$1 jobs=$2
shift 2
targets=()
for target in "$@"; do
    targets+=(--target "$target")
done
log="$build/quiet-build.log"
start=$SECONDS
cmake --build "$build" -j "$jobs" "${targets[@]}" >"$log" 2>&1 &
pid=$!
if [ -t 1 ]; then
    # The last progress mark the generator printed: "[ 42%]" (make) or "[17/80]" (ninja).
    while kill -0 "$pid" 2>/dev/null; do
        progress=$(grep -oE '^\[ *[0-9]+(%|/[0-9]+)\]' "$log" | tail -n 1)
        printf '\rbuilding %s %s %ds ' "$*" "$progress" $((SECONDS - start))
        sleep 0.5
    done
    printf '\r\033[K'
fi
wait "$pid"
status=$?
if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    echo "the build of $* failed (its output above, also in $log)" >&2
    exit "$status"
fi
echo "built $* in $((SECONDS - start)) s"

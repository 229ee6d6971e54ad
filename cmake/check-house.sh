#!/usr/bin/env bash
# The size rules of the house, so that every file and function stays easy to read: no source file in driver/,
# platform/ or tools/ over 600 lines, no function over 80 lines (clang-tidy's readability-function-size over
# every source the build compiles). Tables that are data rather than logic may be listed in EXEMPT. And no
# tool reads the driver's globals.
#   check-house.sh CLANG_TIDY SOURCE_DIR BUILD_DIR
set -euo pipefail
clang_tidy=$1 src=$2 build=$3
max_file_lines=600
max_function_lines=80
EXEMPT=()

cd "$src"
status=0
while IFS= read -r -d '' file; do
    for exempt in "${EXEMPT[@]}"; do
        [ "$file" = "$exempt" ] && continue 2
    done
    lines=$(wc -l <"$file")
    if [ "$lines" -gt "$max_file_lines" ]; then
        echo "$file: $lines lines (at most $max_file_lines)"
        status=1
    fi
done < <(find driver platform tools -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)

# The tools run the driver as built in or as a loaded image, which exports no symbols: nothing under
# tools/ may reach into the driver's globals (the g_ names driver/ defines).
if globals=$(grep -rhoE '\bg_[A-Za-z0-9_]+' driver | sort -u) && [ -n "$globals" ] &&
    used=$(grep -rnwF -f <(printf '%s\n' "$globals") tools); then
    echo "the driver's globals used under tools/:"
    echo "$used"
    status=1
fi

# The sources of this build under driver/, platform/ and tools/ (the cross-built ones have no entry here).
mapfile -t sources < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
    grep -E "^$src/(driver|platform|tools)/" | sort -u)
# A source clang cannot parse is reported too: its functions would go unchecked.
report=$(printf '%s\n' "${sources[@]}" | xargs -r -P "$(nproc 2>/dev/null || echo 2)" -n 4 "$clang_tidy" -p "$build" \
    --quiet --checks='-*,readability-function-size' \
    --config="{CheckOptions: [{key: readability-function-size.LineThreshold, value: $max_function_lines}]}" \
    2>/dev/null | grep -E -A1 'warning: function|error:' | grep -v '^--$' || true)
if [ -n "$report" ]; then
    echo "functions over $max_function_lines lines, or sources clang cannot parse:"
    echo "$report"
    status=1
fi
[ $status -eq 0 ] && echo "house rules checked: ${#sources[@]} sources, files <= $max_file_lines lines, functions <= $max_function_lines lines"
exit $status

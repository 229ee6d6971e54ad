#!/usr/bin/env bash
# Fails when a C++ source of the project is not formatted as .clang-format says.
set -euo pipefail
clang_format=$1 src=$2
cd "$src"
dirs=()
for d in driver platform board tools tests examples bench; do
    [ -d "$d" ] && dirs+=("$d")
done
find "${dirs[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z | xargs -0 -r "$clang_format" --dry-run --Werror
echo "formatting checked"

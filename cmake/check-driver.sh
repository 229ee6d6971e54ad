#!/usr/bin/env bash
# Checks the driver's objects against the rules of kernel code, which the compiler alone cannot enforce:
#  - no global constructors or destructors (a kernel image never runs them: such a global stays zero);
#  - nothing from the C++ runtime (exceptions, RTTI, operator new, guards);
#  - undefined symbols only from the platform operations list (its C runtime routines included: the
#    memory helpers the compiler emits) and the simulation's PAGED_CODE() hook (SimCheckPagedCode: the
#    kernel build's PAGED_CODE is the DDK's and calls nothing, so quav.sys never imports it);
#  - every listed operation is implemented by the simulation, and a C++ overload the driver calls with
#    exactly the signature the simulation defines;
#  - driver sources include only driver/ headers, the platform declarations and the headers the build
#    generates for the driver (the message compiler's quavmsg.h) in GENERATED_DIR.
# Usage: check-driver.sh DRIVER_ARCHIVE SIM_ARCHIVE OPERATIONS_FILE SOURCE_DIR plain|sanitized [GENERATED_DIR]
set -euo pipefail

driver=$1 sim=$2 ops_file=$3 src=$4 mode=$5 generated=${6:-}
fail=0
err() { echo "driver check: $*" >&2; fail=1; }

# The list's operations, and its C runtime routines (a name followed by "runtime": the memory helpers the
# compiler emits on its own).
ops=$(awk '$1 !~ /^#/ && NF == 1 {print $1}' "$ops_file" | sort -u)
c_runtime=$(awk '$1 !~ /^#/ && NF == 2 && $2 == "runtime" {print $1}' "$ops_file" | sort -u | paste -sd'|')

# The linker's own _GLOBAL_OFFSET_TABLE_ (position-independent code) is no import.
# Symbols paired with the function names the operations list uses: demangled, without the parameter
# list, so that a C++ overload such as "swprintf(char16_t*, char16_t const*, ...)" counts as "swprintf".
# One "symbol<TAB>name" per line.
with_names() {
    local symbols
    symbols=$(cat)
    [ -n "$symbols" ] || return 0
    paste <(echo "$symbols") <(echo "$symbols" | c++filt | sed -E 's/\(.*$//')
}

# Sanitizers (ASan+UBSan, TSan) add their own calls and module constructors; the section test is for the plain build.
if [ "$mode" = plain ]; then
    sections=$(readelf -SW "$driver" 2>/dev/null | grep -E '\.(init_array|fini_array|ctors|dtors)\b' || true)
    [ -z "$sections" ] || err "constructor/destructor sections in driver objects:"$'\n'"$sections"
fi

defined=$(nm -g --defined-only "$driver" 2>/dev/null | awk 'NF>=3 {print $3}' | sort -u)
undefined=$(nm -g --undefined-only "$driver" 2>/dev/null | awk '{print $NF}' | grep -v ':$' | sort -u)

ctors=$(nm "$driver" 2>/dev/null | awk '{print $NF}' | grep -E '^_GLOBAL__sub_[ID]_' || true)
[ -z "$ctors" ] || err "global constructors or destructors: $ctors"

runtime='^(__cxa_|__gxx_personality|_Unwind_|_ZTI|_ZTS|_ZTV|__dynamic_cast|_Znw|_Zna|_Zdl|_Zda|_ZSt|__stack_chk_fail$)'
rt=$(echo "$undefined" | grep -E "$runtime" || true)
[ -z "$rt" ] || err "C++ runtime references: $rt"

helpers="^(${c_runtime}|_GLOBAL_OFFSET_TABLE_|SimCheckPagedCode)\$"
sanitizer='^(__asan_|__ubsan_|__sanitizer_|__lsan_|__tsan_|__sancov_|__start___sancov_|__stop___sancov_)'
calls=$(comm -23 <(echo "$undefined") <(echo "$defined") | grep -v -E "$helpers|$sanitizer|$runtime" |
        with_names || true)
foreign=$(echo "$calls" | awk -F'\t' 'NF == 2 {print $2}' | sort -u | comm -23 - <(echo "$ops") || true)
[ -z "$foreign" ] || err "calls outside platform/operations.txt: $(echo $foreign)"

sim_symbols=$(nm -g --defined-only "$sim" 2>/dev/null | awk 'NF>=3 {print $3}' | sort -u)
sim_defined=$(echo "$sim_symbols" | with_names | awk -F'\t' '$2 != "" {print $2}' | sort -u)
unimplemented=$(comm -23 <(echo "$ops") <(echo "$sim_defined") || true)
[ -z "$unimplemented" ] || err "operations the simulation does not implement: $(echo $unimplemented)"

# A listed name is not enough for an overload: the driver must call one the simulation defines.
listed=$(echo "$calls" | awk -F'\t' 'NR == FNR {op[$0] = 1; next} NF == 2 && ($2 in op) {print $1}' \
             <(echo "$ops") - | sort -u)
unmatched=$(comm -23 <(echo "$listed") <(echo "$sim_symbols") | grep -v '^$' | c++filt || true)
[ -z "$unmatched" ] || err "calls to operations with signatures the simulation does not define: $unmatched"

# Includes: quoted, resolving inside driver/, platform/include/ or the generated directory (never the
# simulation or a host header).
bases=("$src/driver" "$src/platform/include")
allowed=("$(realpath "$src/driver")" "$(realpath "$src/platform/include")")
if [ -n "$generated" ]; then
    bases+=("$generated")
    allowed+=("$(realpath -m "$generated")")
fi
while IFS= read -r -d '' f; do
    dir=$(dirname "$f")
    while IFS= read -r line; do
        inc=$(sed -n -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*(.*)$/\1/p' <<<"$line")
        case "$inc" in
            \"*\") name=${inc#\"}; name=${name%\"} ;;
            *) err "$f: host include $inc"; continue ;;
        esac
        ok=0
        for base in "$dir" "${bases[@]}"; do
            if [ -f "$base/$name" ]; then
                real=$(realpath "$base/$name")
                for a in "${allowed[@]}"; do
                    case "$real" in "$a"/*) ok=1 ;; esac
                done
                break
            fi
        done
        [ $ok = 1 ] || err "$f: include \"$name\" is outside driver/, platform/include/ and the generated headers"
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$f" || true)
done < <(find "$src/driver" -type f \( -name '*.h' -o -name '*.cpp' \) -print0)

exit $fail

#!/usr/bin/env bash
# Fails when a driver object carries global constructors or destructors (.ctors/.dtors/.init_array/
# .fini_array): a kernel image never runs them.
# usage: check-objects.sh OBJDUMP OBJECT...
set -euo pipefail
objdump=$1
shift
status=0
for object in "$@"; do
    if sections=$("$objdump" -h "$object" | grep -E '\.(ctors|dtors|init_array|fini_array)'); then
        echo "$object: global constructor or destructor sections:" >&2
        echo "$sections" >&2
        status=1
    fi
done
exit $status

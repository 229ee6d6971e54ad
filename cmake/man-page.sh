#!/usr/bin/env bash
# Writes a tool's man page from its --help texts with help2man: the tool's own help, then a COMMANDS
# section with each command's help (the commands as the tool's help lists them).
#   man-page.sh HELP2MAN TOOL VERSION DESCRIPTION OUTPUT
set -euo pipefail
help2man=$1 tool=$2 version=$3 description=$4 output=$5
include=$(mktemp)
trap 'rm -f "$include"' EXIT

# roff: a backslash is \e, a minus sign \- (a plain - is a hyphen, which options must not become), and a
# line starting with a dot or quote is escaped so it is not a request.
roff() { sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }

# The commands a help text lists under "Subcommands:" (CLI11's heading, in either case).
commands_of() { "$tool" "$@" --help | sed -n '/^subcommands:/I,/^$/p' | sed -n 's/^  *\([a-z][a-z0-9-]*\).*/\1/p'; }
{
    echo "[COMMANDS]"
    for command in $(commands_of); do
        echo ".SS $command"
        echo ".nf"
        "$tool" "$command" --help | roff
        echo ".fi"
        # A command's own commands (quavctl wmi ...), one level down.
        for sub in $(commands_of "$command"); do
            echo ".SS $command $sub"
            echo ".nf"
            "$tool" "$command" "$sub" --help | roff
            echo ".fi"
        done
    done
} >"$include"
"$help2man" --no-info --no-discard-stderr --version-string="$version" --name="$description" \
    --include="$include" --output="$output" "$tool"
# The default socket names the building user's id: the page names it as a reader would read it.
sed -i "s|quavsim\\\\\?-$(id -u)/|quavsim\\\\-UID/|g" "$output"

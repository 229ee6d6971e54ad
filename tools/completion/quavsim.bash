# bash completion for quavsim: its commands and options, scenario (.json), configuration (.reg) and image
# (.sys) files, and the output folder. Options are read from the tool's own --help, so they follow it.

# The options a tool's --help lists (for a command: its own and the tool's): every word that starts with
# a dash at the start of a word.
_quavsim_options()
{
    local tool=$1
    shift
    {
        "$tool" --help 2>/dev/null
        [ $# -gt 0 ] && "$tool" "$@" --help 2>/dev/null
    } | grep -oE -- '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u
}

# Files with this extension, and folders to find them in.
_quavsim_files()
{
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -X "!*.$1" -- "$2"; compgen -d -- "$2")
}

_quavsim()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
        --config) _quavsim_files reg "$cur" && return ;;
        --image) _quavsim_files sys "$cur" && return ;;
        --out)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return
            ;;
        --socket)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
            ;;
        --duration | --sample | --seed | --speed) return ;;
    esac
    local i command=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --config | --image | --out | --socket | --duration | --sample | --seed | --speed) i=$((i + 1)) ;;
            -*) ;;
            *) [ -z "$command" ] && command=${COMP_WORDS[i]} ;;
        esac
    done
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_quavsim_options "${COMP_WORDS[0]}" $command)" -- "$cur")
    elif [ -z "$command" ]; then
        mapfile -t COMPREPLY < <(compgen -W "run serve" -- "$cur")
    else
        _quavsim_files json "$cur"
    fi
}
complete -F _quavsim quavsim

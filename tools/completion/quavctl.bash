# bash completion for quavctl: its commands, options, sensor and control-class names, and files.
# Options are read from the tool's own --help, so they follow the tool; the sensor names come from the
# tools' catalogue when the script is built.

# The options a tool's --help lists (for a command: its own and the tool's): every word that starts with
# a dash at the start of a word.
_quavctl_options()
{
    local tool=$1
    shift
    {
        "$tool" --help 2>/dev/null
        [ $# -gt 0 ] && "$tool" "$@" --help 2>/dev/null
    } | grep -oE -- '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u
}

_quavctl()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local sensors="@SENSOR_NAMES@" fans="@FAN_NAMES@"
    local commands="sensors read-sensor set-pwm fans controls read-control set-control events wmi"
    COMPREPLY=()
    if [ "$prev" = --socket ]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
    fi
    # The command (and wmi's own), and how many of its arguments come before the word completed.
    local i word command="" sub="" position=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --socket) i=$((i + 1)) ;;
            -*) ;;
            *)
                if [ -z "$command" ]; then
                    command=$word
                elif [ "$command" = wmi ] && [ -z "$sub" ]; then
                    sub=$word
                else
                    position=$((position + 1))
                fi
                ;;
        esac
    done
    local words=""
    if [[ $cur == -* ]]; then
        words=$(_quavctl_options "${COMP_WORDS[0]}" $command $sub)
    else
        case $command/$sub/$position in
            //0) words=$commands ;;
            read-sensor//0) words="$sensors fan temperature voltage" ;;
            read-sensor//1) words=$sensors ;;
            set-pwm//0) words=$fans ;;
            read-control//0 | set-control//0) words="pin-pair signals brightness fwp-mode" ;;
            wmi//0) words="query set-critical-upper set-critical-lower" ;;
            wmi/set-critical-*/0) words=$sensors ;;
        esac
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -F _quavctl quavctl

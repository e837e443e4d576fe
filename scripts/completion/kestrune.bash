# bash completion for kestrune-cli, kestrune-mkimage, kestrune-boxsim and kestrune-window.
# The options come from each program's own --help, so they are always the program's own.

# The option names that `COMMAND... --help` lists.
_kestrune_options() {
    "$@" --help 2>/dev/null | grep -oE '^ +(-[A-Za-z0-9], )?--[A-Za-z0-9-]+' |
        grep -oE -- '--?[A-Za-z0-9-]+'
}

_kestrune() {
    local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD - 1]}"
    local -a command=("${COMP_WORDS[0]}")
    COMPREPLY=()
    if [[ ${COMP_WORDS[0]##*/} == kestrune-cli ]]; then
        local i subcommand=""
        for ((i = 1; i < COMP_CWORD; i++)); do
            if [[ ${COMP_WORDS[i]} != -* ]]; then
                subcommand="${COMP_WORDS[i]}"
                break
            fi
        done
        if [[ ( -z $subcommand || $subcommand == help ) && $cur != -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "info serve station ports report help" -- "$cur")
            return
        fi
        [[ -n $subcommand ]] && command+=("$subcommand")
    fi
    case "$prev" in
    --port | --device | --com1 | --com2)
        # Serial devices: the USB adapters and the built-in ports first.
        if [[ -z $cur ]]; then
            mapfile -t COMPREPLY < <(
                compgen -G '/dev/ttyUSB*'
                compgen -G '/dev/ttyACM*'
                compgen -G '/dev/ttyS[0-9]'
            )
            [[ $prev == --port ]] && COMPREPLY+=(COM1 COM2)
        else
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        fi
        return
        ;;
    --folder | --log-dir | --pcap-dir)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_kestrune_options "${command[@]}")" -- "$cur")
    fi
    # Anything else: file names (complete -o default).
}

complete -o default -F _kestrune kestrune-cli kestrune-mkimage kestrune-boxsim kestrune-window

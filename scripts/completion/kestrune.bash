# bash completion for kestrune-window, a shell script. (kestrune-cli, kestrune-mkimage and
# kestrune-boxsim get theirs from their own argument definitions: `PROGRAM --bash-completion`.)
# The options come from the launcher's own --help, so they are always its own.

_kestrune_window() {
    local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD - 1]}"
    COMPREPLY=()
    case "$prev" in
    --com1 | --com2)
        # Serial devices: the USB adapters and the built-in ports first.
        if [[ -z $cur ]]; then
            mapfile -t COMPREPLY < <(
                compgen -G '/dev/ttyUSB*'
                compgen -G '/dev/ttyACM*'
                compgen -G '/dev/ttyS[0-9]'
            )
        else
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        fi
        return
        ;;
    --folder)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$("${COMP_WORDS[0]}" --help 2>/dev/null |
            grep -oE '^ +(-[A-Za-z0-9], )?--[A-Za-z0-9-]+' | grep -oE -- '--?[A-Za-z0-9-]+')" -- "$cur")
    fi
    # Anything else: file names (complete -o default).
}

complete -o default -F _kestrune_window kestrune-window

# bash completion for kestrel-flash
_kestrel_flash() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    case "$prev" in
        -p|--port)
            # Stable names first: an adapter keeps its by-id name and its USB
            # serial number wherever it is plugged in.
            local devices=(/dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*)
            local serials=()
            local s
            for s in /sys/class/tty/*/device/../serial /sys/class/tty/*/device/../../serial; do
                [ -r "$s" ] && serials+=("usb:$(<"$s")")
            done
            COMPREPLY=($(compgen -W "${devices[*]//\*/} ${serials[*]}" -- "$cur"))
            return ;;
        --com) COMPREPLY=($(compgen -W "1 2 3 4 5 6 7 8" -- "$cur")); return ;;
        --firmware-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --ip|--wait) return ;;
        --record) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "-p --port --com --ip --wait --identify --ping -l --list-ports
            --allow-unknown-model --loop --firmware-dir --record --simulate --json -q --quiet
            -v --verbose -h --help -V --version" -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _kestrel_flash kestrel-flash

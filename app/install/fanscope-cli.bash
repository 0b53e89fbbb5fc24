# bash completion for fanscope-cli. Commands and options are read from the
# program's own help, so the completion follows the program it completes.

_fanscope_cli_words() {
    # $1: help text; prints option names and, after "Subcommands:", commands.
    awk '
        /^Subcommands:/ { in_sub = 1; next }
        /^[A-Za-z]/ { in_sub = 0 }
        in_sub && /^  [a-z]/ { print $1; next }
        !in_sub && /^  +-/ {
            n = split($1, parts, ",")
            for (j = 1; j <= n; j++) {
                w = parts[j]; sub(/[:=].*/, "", w)
                if (w ~ /^--?[A-Za-z]/) print w
            }
        }' <<<"$1" | awk '!seen[$0]++'
}

_fanscope_cli() {
    local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD-1]}"
    local prog="${COMP_WORDS[0]}" command="" i

    case "$prev" in
        --sim-config|save|recall|diff|--vcd)
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
        --medium)
            COMPREPLY=($(compgen -W "printer smbus i2c" -- "$cur"))
            return ;;
        --textfile)
            COMPREPLY=($(compgen -d -- "$cur"))
            return ;;
        --offset|--length|--mask|-m|--address|--port|--bus|--interval|--count|--listen)
            COMPREPLY=()
            return ;;
    esac

    # Follow the commands on the line down their levels (trace dump,
    # eeprom read, transfer read-word) and complete from the deepest help.
    local path=() help commands
    help="$("$prog" --help 2>/dev/null)"
    for ((i = 1; i < COMP_CWORD; i++)); do
        commands="$(_fanscope_cli_words "$help" | grep -v '^-')"
        if grep -qx -- "${COMP_WORDS[i]}" <<<"$commands"; then
            path+=("${COMP_WORDS[i]}")
            help="$("$prog" "${path[@]}" --help 2>/dev/null)"
        fi
    done
    command="${path[*]}"

    local words
    words="$(_fanscope_cli_words "$help")"
    case "$command" in
        # These take a file where a word without a dash stands.
        *"eeprom read"|*"eeprom write")
            if [[ "$cur" != -* ]]; then
                COMPREPLY=($(compgen -f -- "$cur"))
                return
            fi ;;
    esac
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _fanscope_cli fanscope-cli

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
    esac

    local commands
    commands="$(_fanscope_cli_words "$("$prog" --help 2>/dev/null)" | grep -v '^-')"
    for ((i = 1; i < COMP_CWORD; i++)); do
        if grep -qx -- "${COMP_WORDS[i]}" <<<"$commands"; then
            command="${COMP_WORDS[i]}"
            break
        fi
    done

    local help
    if [ -n "$command" ]; then
        help="$("$prog" "$command" --help 2>/dev/null)"
    else
        help="$("$prog" --help 2>/dev/null)"
    fi
    COMPREPLY=($(compgen -W "$(_fanscope_cli_words "$help")" -- "$cur"))
}
complete -F _fanscope_cli fanscope-cli

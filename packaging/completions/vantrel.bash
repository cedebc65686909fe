# bash completion for vantrel and vantrel-patterns.
# Install as .../bash-completion/completions/vantrel, with a link named
# vantrel-patterns beside it, or source it from ~/.bashrc.

_vantrel() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W 'scan stream version help -v --version -h --help' -- "$cur")
        return
    fi
    # Options of both commands; stream also accepts the three threshold values.
    local shared='-j --json -e --exit-on-threat -q --quiet --high-security --low-latency
        --block-threshold --allow-threshold --prior --warning-mode --no-warning-mode'
    case $prev in
        --block-threshold | --allow-threshold | --prior) return ;;  # a number
    esac
    case ${COMP_WORDS[1]} in
        scan)
            case $prev in
                --patterns)
                    compopt -o filenames 2>/dev/null
                    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                    return
                    ;;
                -m | --mode)
                    mapfile -t COMPREPLY < <(compgen -W 'input output' -- "$cur")
                    return
                    ;;
            esac
            # Anything else is the text to scan: only options are offered.
            [[ $cur == -* ]] &&
                mapfile -t COMPREPLY < <(compgen -W "$shared --stdin --patterns -m --mode" -- "$cur")
            ;;
        stream)
            mapfile -t COMPREPLY < <(compgen -W "$shared" -- "$cur")
            ;;
    esac
}

_vantrel_patterns() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W 'check test help version' -- "$cur")
        return
    fi
    case ${COMP_WORDS[1]} in
        check | test)
            # FILE comes right after the command or after --database; for
            # test the rest is free text.
            local at=2
            [[ ${COMP_WORDS[2]} == --database ]] && at=3
            if ((COMP_CWORD == 2)) && [[ $cur == -* ]]; then
                mapfile -t COMPREPLY < <(compgen -W '--database' -- "$cur")
            elif ((COMP_CWORD == at)); then
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            fi
            ;;
    esac
}

complete -F _vantrel vantrel
complete -F _vantrel_patterns vantrel-patterns

#!/usr/bin/env bash
# The bash completion of vpisd-cli and vpisd-gateway, through bash-completion itself: commands,
# option values, the options of each command.
#   completion.sh SOURCE_DIR
set -uo pipefail
source /usr/share/bash-completion/bash_completion
source "$1/packaging/bash-completion/vpisd-cli"
source "$1/packaging/bash-completion/vpisd-gateway"
failures=0

# complete LINE: the words offered for the command line LINE (its last word being completed).
complete_line() {
    read -ra COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$1 COMP_POINT=${#1}
    COMPREPLY=()
    local function=_${COMP_WORDS[0]//-/_}
    $function "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
# expect LINE WORDS...: each of WORDS is offered; "!WORD": it is not.
expect() {
    local line=$1 offered
    shift
    offered=" $(complete_line "$line")"
    for word in "$@"; do
        if [[ $word == !* ]]; then
            [[ $offered != *" ${word#!} "* ]] && continue
        else
            [[ $offered == *" $word "* ]] && continue
        fi
        echo "FAIL: '$line' -> [$offered ] ($word)"
        failures=$((failures + 1))
    done
}

expect "vpisd-cli " describe read write poll check-init
expect "vpisd-cli --parity " none odd even mark space
expect "vpisd-cli --stop " 1 1.5 2
expect "vpisd-cli -f " text csv json
expect "vpisd-cli --word-order " high-first low-first
expect "vpisd-cli --type " float
expect "vpisd-cli --" --port --baud --timeout --init --trace --format --signed --version --type
expect "vpisd-cli -p ttyS0 read P10100 -" -n --count !--rounds !--interval
expect "vpisd-cli -p ttyS0 poll P10100 -" -n --count -l --interval --rounds -1
expect "vpisd-cli -p ttyS0 poll P10100 --interval " !describe !--rounds
expect "vpisd-cli read P10100 " !describe
expect "vpisd-gateway --" --config --check --lib --log-level --verbose --version
expect "vpisd-gateway --log-level " debug info notice warning error
expect "vpisd-gateway --config gw.toml --log-level " !--check
[ $failures -eq 0 ] && echo PASS
exit $((failures > 0))

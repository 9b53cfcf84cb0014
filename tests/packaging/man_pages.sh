#!/usr/bin/env bash
# The manual pages format without a warning, and the man page and bash completion of vpisd-cli
# (and of vpisd-gateway when it is built) know every command and option that the program's
# --help lists (so neither falls behind the tool).
#   man_pages.sh SOURCE_DIR VPISD_CLI [VPISD_GATEWAY]
set -uo pipefail
source=$1 cli=$2 gateway=${3:-}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for page in "$source"/docs/man/*.[18]; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

page=$source/docs/man/vpisd-cli.1
completion=$source/packaging/bash-completion/vpisd-cli
help=$("$cli" --help)
commands=$(sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$help")
[ -n "$commands" ] || fail "no commands in vpisd-cli --help"
options=$( { echo "$help"; for command in $commands; do "$cli" "$command" --help; done; } |
    sed -n '/^Options:/,/^$/s/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n' | sort -u)
for name in $commands $options; do
    grep -qF -- "${name//-/\\-}" "$page" || fail "vpisd-cli.1 does not describe $name"
    grep -qE -- "(^|[ '(|])${name}([ ')|]|\$)" "$completion" || fail "the completion does not offer $name"
done
echo "checked: $(echo $commands $options)"
if [ -n "$gateway" ]; then
    page=$source/docs/man/vpisd-gateway.8
    completion=$source/packaging/bash-completion/vpisd-gateway
    options=$("$gateway" --help | sed -n '/^Options:/,/^$/s/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n' | sort -u)
    [ -n "$options" ] || fail "no options in vpisd-gateway --help"
    for name in $options; do
        [ "$name" = -h ] || [ "$name" = --help ] && continue
        grep -qF -- "${name//-/\\-}" "$page" || fail "vpisd-gateway.8 does not describe $name"
        grep -qE -- "(^|[ '(|])${name}([ ')|]|\$)" "$completion" || fail "the completion does not offer $name"
    done
    grep -q '^\.B SIGHUP' "$page" || fail "vpisd-gateway.8 does not describe SIGHUP"
    echo "checked: $(echo $options) SIGHUP"
fi
[ $failures -eq 0 ] && echo PASS
exit $((failures > 0))

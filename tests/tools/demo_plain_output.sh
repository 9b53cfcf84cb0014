#!/usr/bin/env bash
# The demo, its output going to a file rather than a terminal: it must succeed and print no
# terminal escape sequences. Arguments: the build directory to use.
set -euo pipefail
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if ! VPISD_BUILD_DIR="$1" VPISD_DEMO_SKIP_BUILD=1 bash "$(dirname "$0")/../../scripts/demo.sh" >"$out" 2>&1; then
    cat "$out"
    exit 1
fi
if grep -q $'\033' "$out"; then
    echo "escape sequences in the demo's output:"
    grep -n $'\033' "$out" | cat -v
    exit 1
fi

#!/usr/bin/env bash
# Builds the Debian packages with scripts/package.sh in a build directory of their own and runs
# lintian on them: any error fails; every tag is printed.
#   lintian.sh SOURCE_DIR PACKAGE_BUILD_DIR
set -euo pipefail
source=$1 dir=$2

VPISD_BUILD_DIR=$dir bash "$source/scripts/package.sh" >"$dir.log" 2>&1 || {
    tail -40 "$dir.log"
    echo "FAIL: scripts/package.sh"
    exit 1
}
mapfile -t debs < <(ls "$dir"/*.deb)
[ ${#debs[@]} -eq 3 ] || { echo "FAIL: expected 3 packages, got: ${debs[*]}"; exit 1; }
status=0
lintian --info --display-level ">=pedantic" --fail-on error "${debs[@]}" || status=$?
[ $status -eq 0 ] && echo "PASS: lintian reports no error" || echo "FAIL: lintian reports errors"

# A host built against the packages themselves (multiarch library directory, /usr prefix).
bash "$(dirname "$0")/host_out_of_tree.sh" "$dir" "$source" /usr \
    "$(dpkg-architecture -qDEB_HOST_MULTIARCH | sed 's|^|lib/|')" "$dir" || status=1
exit $status

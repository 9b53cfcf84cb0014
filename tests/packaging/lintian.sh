#!/usr/bin/env bash
# lintian on the packages that build_packages.sh built: any error or warning fails; every tag
# is printed. Then a host is built against the packages themselves.
#   lintian.sh SOURCE_DIR PACKAGE_BUILD_DIR
set -euo pipefail
source=$1 dir=$2

mapfile -t debs < <(ls "$dir"/*.deb)
[ ${#debs[@]} -eq 4 ] || { echo "FAIL: expected 4 packages, got: ${debs[*]}"; exit 1; }
status=0
lintian --info --display-level ">=pedantic" --fail-on error,warning "${debs[@]}" || status=$?
[ $status -eq 0 ] && echo "PASS: lintian reports no error and no warning" ||
    echo "FAIL: lintian reports errors or warnings"

# A host built against the packages themselves (multiarch library directory, /usr prefix).
bash "$(dirname "$0")/host_out_of_tree.sh" "$dir" "$source" /usr \
    "$(dpkg-architecture -qDEB_HOST_MULTIARCH | sed 's|^|lib/|')" "$dir" || status=1
exit $status

#!/usr/bin/env bash
# Builds the Debian packages with scripts/package.sh in a build directory of their own, for the
# checks that read them (lintian, install_upgrade_purge): the four packages, and vpisd-gateway's
# control archive with its maintainer scripts and its conffile.
#   build_packages.sh SOURCE_DIR PACKAGE_BUILD_DIR
set -uo pipefail
source=$1 dir=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The compiler cache, when there is one, spares the repeated runs most of the build.
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
VPISD_BUILD_DIR=$dir bash "$source/scripts/package.sh" >"$dir.log" 2>&1 || {
    tail -40 "$dir.log"
    echo "FAIL: scripts/package.sh"
    exit 1
}
packages=$(for deb in "$dir"/*.deb; do dpkg-deb --field "$deb" Package; done | sort | xargs)
[ "$packages" = "libvpisd-dev libvpisd7 vpisd-gateway vpisd-tools" ] ||
    fail "expected libvpisd-dev libvpisd7 vpisd-gateway vpisd-tools, got: $packages"

gateway=$(ls "$dir"/vpisd-gateway_*.deb)
control=$(dpkg-deb --ctrl-tarfile "$gateway" | tar -tvf -)
echo "$control"
for script in postinst prerm postrm; do
    grep -qE "^-rwxr-xr-x .* \./$script\$" <<<"$control" || fail "no executable $script"
done
[ "$(dpkg-deb --info "$gateway" conffiles)" = /etc/vpisd/gateway.toml ] ||
    fail "conffiles is not /etc/vpisd/gateway.toml alone"
[ "$(dpkg-deb --field "$gateway" Section)" = net ] || fail "vpisd-gateway is not in section net"
depends=$(dpkg-deb --field "$gateway" Depends)
version=$(dpkg-deb --field "$gateway" Version)
for needed in "libvpisd7 (= $version)" init-system-helpers libmosquitto1 libsystemd0; do
    grep -qF "$needed" <<<"$depends" || fail "vpisd-gateway does not depend on $needed: $depends"
done
# The packaged programs find the driver where it is installed, never in the tree they were built in.
for deb in "$dir"/vpisd-gateway_*.deb "$dir"/vpisd-tools_*.deb; do
    unpacked=$(mktemp -d)
    dpkg-deb -x "$deb" "$unpacked"
    named=$(grep -laF "$dir/" "$unpacked"/usr/bin/*)
    [ -z "$named" ] || fail "$(basename "$deb"): ${named//$unpacked/} hold the path of the build tree $dir"
    rm -rf "$unpacked"
done
# vpisd-tools keeps the guides (its README links to the gateway's), not the gateway itself.
tools=$(dpkg-deb --contents "$(ls "$dir"/vpisd-tools_*.deb)" | grep -v '/usr/share/doc/vpisd-tools/')
grep -q gateway <<<"$tools" && fail "vpisd-tools still holds the gateway: $(grep gateway <<<"$tools")"
[ $failures -eq 0 ] && echo "PASS: $packages"
exit $((failures > 0))

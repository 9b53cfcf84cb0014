#!/usr/bin/env bash
# The packages as dpkg handles them, in a scratch root and never the host's /: install all four,
# edit the gateway's conffile, upgrade vpisd-gateway (the same package repacked one version up),
# check the edit and the enable link survive, remove and purge, and check that nothing of the
# packages is left. The maintainer scripts run outside a chroot (--force-script-chrootless)
# with DPKG_ROOT set to the scratch root, as they run when an image is built; the service is
# never started (systemd does not run that root).
#   install_upgrade_purge.sh PACKAGE_BUILD_DIR
set -uo pipefail
dir=$1
if ! command -v dpkg >/dev/null || ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg is missing, so the packages cannot be installed"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
unit=vpisd-gateway.service
wants=$root/etc/systemd/system/multi-user.target.wants/$unit
state=$root/var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also

# The host's own records of the gateway, which no step here may change.
host_marks=(/etc/vpisd /etc/systemd/system/multi-user.target.wants/$unit /etc/systemd/system/$unit
            /var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also
            /var/lib/systemd/deb-systemd-helper-masked/$unit)
host_before=$(ls -ld "${host_marks[@]}" 2>&1)

# A root with dpkg's database and what a systemd system has: the packages that ours depend on
# are recorded as installed (their stanzas copied from the host's database, which has them),
# so that dpkg checks our dependencies for real without their files being copied.
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers} "$root"/var/log \
    "$root"/etc/systemd/system "$root"/var/lib/systemd
touch "$root"/var/lib/dpkg/available
debs=("$dir"/libvpisd7_*.deb "$dir"/libvpisd-dev_*.deb "$dir"/vpisd-tools_*.deb "$dir"/vpisd-gateway_*.deb)
ours=" libvpisd7 libvpisd-dev vpisd-tools vpisd-gateway "
arch=$(dpkg --print-architecture)
for deb in "${debs[@]}"; do dpkg-deb --field "$deb" Depends | tr ',' '\n'; done |
    sed 's/^ *//; s/[ :(|].*//' | sort -u | while read -r name; do
        [ -z "$name" ] || [[ "$ours" == *" $name "* ]] && continue
        # The host's architecture, or an Architecture: all package.
        spec=$name:$arch
        dpkg-query -W "$spec" >/dev/null 2>&1 || spec=$name
        dpkg-query -s "$spec" | awk '/^Conffiles:/ { skip = 1; next }
            skip && /^ / { next } { skip = 0; print }'
        echo
        touch "$root/var/lib/dpkg/info/$(dpkg-query -W -f '${binary:Package}' "$spec").list"
    done >"$root"/var/lib/dpkg/status
find "$root" | sort >"$work/before"

pm() {
    local force=(--force-script-chrootless)
    [ "$(id -u)" -eq 0 ] || force+=(--force-not-root)
    dpkg --root="$root" --log="$root/var/log/dpkg.log" "${force[@]}" "$@" </dev/null
}
installed() { dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${Version} ${Status}' "$1" 2>&1; }

# Install: the conffile in place and recorded, the unit enabled through deb-systemd-helper, the
# gateway as installed accepts its configuration.
pm --install "${debs[@]}" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "install"; }
version=$(dpkg-deb --field "$dir"/vpisd-gateway_*.deb Version)
for package in $ours; do
    [ "$(installed "$package")" = "$version install ok installed" ] ||
        fail "$package: $(installed "$package")"
done
dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${Conffiles}' vpisd-gateway |
    grep -q '^ /etc/vpisd/gateway.toml [0-9a-f]\{32\}$' || fail "gateway.toml is not a conffile"
[ "$(readlink "$wants")" = /usr/lib/systemd/system/$unit ] || fail "not enabled: no $wants"
[ -f "$state" ] || fail "deb-systemd-helper has no record of the enable link"
owner=$(dpkg --root="$root" -S /usr/bin/vpisd-gateway 2>&1)
[ "$owner" = "vpisd-gateway: /usr/bin/vpisd-gateway" ] || fail "/usr/bin/vpisd-gateway: $owner"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
"$root/usr/bin/vpisd-gateway" --config "$root/etc/vpisd/gateway.toml" \
    --lib "$root/usr/lib/$multiarch/libvpisd.so.7" --check >"$work/check.out" 2>&1 ||
    fail "--check of the installed configuration: $(cat "$work/check.out")"
echo "installed: $(cat "$work/check.out")"
# --help sends the reader to the man page and the guide, both where the package put them.
help=$("$root/usr/bin/vpisd-gateway" --help)
guide=$(grep -o '/usr/share/doc/vpisd-gateway/[^ ]*\.md' <<<"$help")
[ -n "$guide" ] && [ -f "$root$guide" ] || fail "--help names no installed guide: $help"
grep -qF 'man 8 vpisd-gateway' <<<"$help" && [ -f "$root/usr/share/man/man8/vpisd-gateway.8.gz" ] ||
    fail "--help names no installed man page: $help"

# Upgrade to the same files one version up: the edit is kept without a question (stdin is
# /dev/null, so a conffile prompt would fail the upgrade), the unit stays enabled.
echo '# edited by the administrator' >>"$root/etc/vpisd/gateway.toml"
edited=$(cat "$root/etc/vpisd/gateway.toml")
dpkg-deb --raw-extract "$dir"/vpisd-gateway_*.deb "$work/next"
sed -i "s/^Version: .*/Version: $version+1/" "$work/next/DEBIAN/control"
dpkg-deb --root-owner-group --build "$work/next" "$work/vpisd-gateway-next.deb" >/dev/null
pm --install "$work/vpisd-gateway-next.deb" >"$work/upgrade.log" 2>&1 ||
    { cat "$work/upgrade.log"; fail "upgrade"; }
grep -qF "Unpacking vpisd-gateway ($version+1) over ($version)" "$work/upgrade.log" ||
    fail "not an upgrade: $(cat "$work/upgrade.log")"
[ "$(installed vpisd-gateway)" = "$version+1 install ok installed" ] ||
    fail "after the upgrade: $(installed vpisd-gateway)"
[ "$(cat "$root/etc/vpisd/gateway.toml")" = "$edited" ] || fail "the upgrade lost the edit"
[ -e "$root/etc/vpisd/gateway.toml.dpkg-dist" ] && fail "the upgrade left gateway.toml.dpkg-dist"
[ "$(readlink "$wants")" = /usr/lib/systemd/system/$unit ] || fail "not enabled after the upgrade"

# Remove: the program and the unit go, the configuration and the enable link stay (masked, so
# that the link starts nothing).
pm --remove vpisd-gateway >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "remove"; }
[ "$(installed vpisd-gateway)" = "$version+1 deinstall ok config-files" ] ||
    fail "after remove: $(installed vpisd-gateway)"
[ -e "$root/usr/bin/vpisd-gateway" ] && fail "remove left /usr/bin/vpisd-gateway"
[ "$(cat "$root/etc/vpisd/gateway.toml" 2>&1)" = "$edited" ] || fail "remove took the edited conffile"
[ "$(readlink "$root/etc/systemd/system/$unit")" = /dev/null ] || fail "remove did not mask the unit"

# Purge, then the others: the tree is what it was before the installation (dpkg's own database
# and log apart).
pm --purge vpisd-gateway >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge"; }
pm --purge vpisd-tools libvpisd-dev libvpisd7 >"$work/purge-all.log" 2>&1 ||
    { cat "$work/purge-all.log"; fail "purge of the others"; }
find "$root" | sort >"$work/after"
left=$(diff "$work/before" "$work/after" | grep '^[<>]' |
    grep -v "^> $root/var/lib/dpkg/\|^> $root/var/log/dpkg.log")
[ -z "$left" ] && echo "purged: nothing left" || fail "left after purge:"$'\n'"$left"

# Installed again: a service the administrator disabled stays disabled through a reinstall,
# and a file of the administrator's own in /etc/vpisd keeps the directory through a purge.
pm --install "$dir"/libvpisd7_*.deb "$dir"/vpisd-gateway_*.deb >"$work/again.log" 2>&1 ||
    { cat "$work/again.log"; fail "second install"; }
[ -L "$wants" ] || fail "not enabled by the second install"
rm "$wants" # systemctl disable vpisd-gateway
pm --install "$dir"/vpisd-gateway_*.deb >"$work/again.log" 2>&1 ||
    { cat "$work/again.log"; fail "reinstall"; }
[ -e "$wants" ] && fail "the reinstall enabled the service that was disabled"
echo 'P1=1+5' >"$root/etc/vpisd/north.int"
pm --purge vpisd-gateway >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "second purge"; }
[ -e "$root/etc/vpisd/gateway.toml" ] && fail "the second purge left gateway.toml"
[ -e "$root/etc/vpisd/north.int" ] || fail "purge took a file that the package did not install"

[ "$(ls -ld "${host_marks[@]}" 2>&1)" = "$host_before" ] || fail "the host's / was changed"
[ $failures -eq 0 ] && echo PASS
exit $((failures > 0))

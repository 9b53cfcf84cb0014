#!/usr/bin/env bash
# Builds the Debian packages libvpisd7, libvpisd-dev, vpisd-tools and vpisd-gateway into
# build/package (or $VPISD_BUILD_DIR): only what they hold is built, no tests or benchmarks.
# Lists each package: its fields, its conffiles and its files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ensure-deps.sh
dir=${VPISD_BUILD_DIR:-build/package}
# Debian's build flags, hardening included (stack protector, fortified calls, read-only
# relocations bound at load).
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$CFLAGS $CPPFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
    -DCMAKE_STRIP="$PWD/packaging/debian/strip" \
    -DVPISD_WERROR=ON -DVPISD_TESTS=OFF -DVPISD_BENCH=OFF -DVPISD_FUZZ=OFF \
    -DVPISD_BUILD_TREE_FALLBACK=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
# CPack gives a package with a library under /usr/lib a postinst and a postrm that run ldconfig.
# libvpisd7 activates dpkg's ldconfig trigger instead (packaging/debian/triggers), so those two
# scripts are taken out again.
for library in "$dir"/libvpisd[0-9]*_*.deb; do
    unpacked=$(mktemp -d)
    dpkg-deb --raw-extract "$library" "$unpacked/package"
    for script in postinst postrm; do
        if [ -f "$unpacked/package/DEBIAN/$script" ]; then
            grep -q ldconfig "$unpacked/package/DEBIAN/$script"
            rm "$unpacked/package/DEBIAN/$script"
        fi
    done
    dpkg-deb --root-owner-group -Zgzip --build "$unpacked/package" "$library" >/dev/null
    rm -rf "$unpacked"
done
for package in "$dir"/*.deb; do
    echo "$package"
    dpkg-deb --field "$package" Package Version Architecture Section Depends Installed-Size |
        sed 's/^/  /'
    { dpkg-deb --info "$package" conffiles 2>/dev/null || true; } | sed 's/^/  conffile: /'
    # Each file by its path (a link as "path -> target"), without the directories.
    dpkg-deb --contents "$package" | sed -E 's/^([^ ]+ +){5}/  /' | grep -v '/$'
done

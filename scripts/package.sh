#!/usr/bin/env bash
# Builds the Debian packages libvpisd7, libvpisd-dev and vpisd-tools into build/package (or
# $VPISD_BUILD_DIR): only what they hold is built, no tests or benchmarks. Lists each package.
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
    -DVPISD_WERROR=ON -DVPISD_TESTS=OFF -DVPISD_BENCH=OFF -DVPISD_FUZZ=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
for package in "$dir"/*.deb; do
    echo "$package"
    dpkg-deb --field "$package" Package Version Architecture Depends Installed-Size | sed 's/^/  /'
    dpkg-deb --contents "$package" | awk '{print "  " $NF}' | grep -v '/$'
done

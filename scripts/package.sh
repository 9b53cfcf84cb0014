#!/usr/bin/env bash
# Builds the Debian package of the driver, the simulator and the command-line host into
# build/release, and lists what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
dir=${VPISD_BUILD_DIR:-build/release}
(cd "$dir" && cpack -G DEB >/dev/null)
package=$(ls -t "$dir"/vpisd_*.deb | head -1)
echo "$package"
dpkg-deb --field "$package" Package Version Architecture Depends Installed-Size
dpkg-deb --contents "$package" | awk '{print $NF}' | grep -v '/$'

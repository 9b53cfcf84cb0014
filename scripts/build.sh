#!/usr/bin/env bash
# Configures and builds into build/release (or $VPISD_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ensure-deps.sh
dir=${VPISD_BUILD_DIR:-build/release}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVPISD_WERROR=ON >/dev/null
cmake --build "$dir" -j "$(nproc)"

#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
dir=${VPISD_BUILD_DIR:-build/release}
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300

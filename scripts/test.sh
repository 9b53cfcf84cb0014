#!/usr/bin/env bash
# All tests: installs what is missing, builds with warnings as errors and runs
#   1. the 32-bit Windows DLL's checks under Wine (scripts/test-windows.sh),
#   2. each fuzz target once over its seeds and kept inputs (scripts/fuzz.sh --regress),
#   3. the native suite with ctest, whose summary closes the output.
# Exits non-zero when any of them fails. VPISD_SKIP_WINDOWS=1 / VPISD_SKIP_FUZZ=1 leave
# a part out for a quick local run.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh || exit 1
dir=${VPISD_BUILD_DIR:-build/release}
failed=()

if [ "${VPISD_SKIP_WINDOWS:-0}" != 1 ]; then
  echo "== Windows DLL under Wine"
  bash scripts/test-windows.sh || failed+=("windows")
fi
if [ "${VPISD_SKIP_FUZZ:-0}" != 1 ]; then
  echo "== Fuzz targets over their seeds and kept inputs"
  bash scripts/fuzz.sh --regress || failed+=("fuzz")
fi

echo "== Native suite"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300 || failed+=("ctest")

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi

#!/usr/bin/env bash
# All tests: installs what is missing, builds with warnings as errors and runs
#   1. the 32-bit Windows DLL's checks under Wine (scripts/test-windows.sh),
#   2. each fuzz target once over its seeds and kept inputs (scripts/fuzz.sh --regress),
#   3. the native suite under AddressSanitizer and UBSan (build/asan), but for the packaging
#      checks, whose hosts are built and installed outside the sanitized tree,
#   4. the threaded tests (label "threaded") under ThreadSanitizer (build/tsan),
#   5. the native suite with ctest, whose summary closes the output.
# Every sanitizer report is fatal and fails its test. Exits non-zero when any part fails.
# VPISD_SKIP_WINDOWS=1 / VPISD_SKIP_FUZZ=1 / VPISD_SKIP_SANITIZERS=1 leave a part out for
# a quick local run.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh || exit 1
bash scripts/ensure-test-tools.sh || exit 1
dir=${VPISD_BUILD_DIR:-build/release}
failed=()
# Most tests wait on a line (pseudo-terminals, read timeouts, a simulated PLC's pauses) rather
# than compute, so twice as many run at once as there are cores.
jobs=${VPISD_TEST_JOBS:-$(($(nproc) * 2))}

if [ "${VPISD_SKIP_WINDOWS:-0}" != 1 ]; then
  echo "== Windows DLL under Wine"
  bash scripts/test-windows.sh || failed+=("windows")
fi
if [ "${VPISD_SKIP_FUZZ:-0}" != 1 ]; then
  echo "== Fuzz targets over their seeds and kept inputs"
  bash scripts/fuzz.sh --regress || failed+=("fuzz")
fi

# What each failed test printed (ctest --output-on-failure puts it after the test's result
# line), at most 300 lines: enough to see the cause without the whole suite's output.
failed_output() {
  awk '/\*\*\*(Failed|Exception|Timeout)|\(Failed\)|\(SEGFAULT\)|\(Subprocess aborted\)/ {show = 1}
       /^ *[0-9]+\/[0-9]+ Test +#/ && !/\*\*\*|\(Failed\)|\(SEGFAULT\)|\(Subprocess aborted\)/ {show = 0}
       /^ *Start +[0-9]+:/ {next}
       show' "$1" | head -300
}

# sanitizer_suite <name> <build dir> <cmake option> <ctest args...>; builds the targets in
# $targets, or all of them.
sanitizer_suite() {
  local name=$1 build=$2 option=$3; shift 3
  local started=$SECONDS
  local target_args=()
  [ -n "${targets:-}" ] && target_args=(--target $targets)
  if ! cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVPISD_WERROR=ON \
      "-D$option=ON" -DVPISD_BENCH=OFF >/dev/null ||
     ! cmake --build "$build" -j "$(nproc)" "${target_args[@]}" >"$build.log" 2>&1; then
    tail -40 "$build.log"
    failed+=("$name build")
    return
  fi
  ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300 "$@" >"$build.ctest.log" 2>&1
  local status=$?
  if [ "$status" -ne 0 ]; then
    failed_output "$build.ctest.log"
    failed+=("$name")
  fi
  tail -15 "$build.ctest.log"
  echo "($name: $((SECONDS - started)) s with its build)"
}
if [ "${VPISD_SKIP_SANITIZERS:-0}" != 1 ]; then
  echo "== Native suite under AddressSanitizer and UBSan"
  ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    sanitizer_suite asan build/asan VPISD_SANITIZE -E '^packaging[.]'
  echo "== Threaded tests under ThreadSanitizer"
  # Only the programs with threads of their own: the simulator's, the driver's on several
  # threads, and the gateway's (its line workers, Modbus and MQTT sides).
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    targets="test_end_to_end test_sim test_gateway test_gateway_mqtt" \
    sanitizer_suite tsan build/tsan VPISD_TSAN -L threaded
fi

echo "== Native suite"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 || failed+=("ctest")

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi

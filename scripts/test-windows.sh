#!/usr/bin/env bash
# Builds vpisd.dll for 32-bit Windows with mingw-w64 and runs the Windows checks under
# Wine in a private prefix: the DLL's exports and imports, the port layer, and the driver
# as a host loads it, with pseudo-terminals shown to Wine as COM5 (a PLC peer), COM6 (an
# echo) and COM7 (a far end that never reads). Installs what is missing. Ends with "N
# passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${VPISD_WIN32_BUILD_DIR:-build/win32}
started=$(date +%s)

stamp() { echo "[$(($(date +%s) - started)) s] $*"; }
fail_setup() { echo "$*" >&2; echo "0 passed, 1 failed"; exit 1; }

# --- packages -------------------------------------------------------------------------
missing=()
for p in cmake g++ g++-mingw-w64-i686 wine wine32:i386; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  stamp "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  # A mirror caught mid-sync fails the update ("File has unexpected size"): tried again after a
  # pause; still failing, the install goes on with the lists apt kept, and fails on its own
  # when they cannot serve it.
  for pause in 0 20; do
    sleep "$pause"
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq && break
    stamp "apt-get update failed"
  done
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null || fail_setup "install failed"
  stamp "installed"
fi

# --- build ----------------------------------------------------------------------------
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVPISD_WERROR=ON >/dev/null || fail_setup "configure failed"
cmake --build "$dir" -j "$(nproc)" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; fail_setup "build failed"; }
g++ -std=c++20 -O1 -Wall -Wextra -Werror tests/win32/line_peer.cpp -o "$dir/line_peer" -lutil \
  || fail_setup "peer build failed"
stamp "built"

passed=0
failed=0
check() { # check <description> <command...>
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $what"; fi
}

# --- the DLL as the loader sees it ----------------------------------------------------
bin="$dir/bin"
objdump=i686-w64-mingw32-objdump
dump=$($objdump -p "$bin/vpisd.dll")
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | awk '{print $NF}')
imports=$(echo "$dump" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ')
check "vpisd.dll exports VpiMain alone (got: $exports)" test "$exports" = "VpiMain"
check "vpisd.dll is a 32-bit image" grep -q 'file format pei-i386' <<<"$dump"
check "vpisd.dll imports only system DLLs and KORVAL.dll (got: $imports)" \
  test "$imports" = "KERNEL32.dll KORVAL.dll msvcrt.dll "
check "err is imported by name from KORVAL.dll" \
  grep -qE '^\s+[0-9a-f]+\s+[0-9]+\s+err$' <<<"$(echo "$dump" | sed -n '/DLL Name: KORVAL.dll/,/^$/p')"

# --- Wine -----------------------------------------------------------------------------
export WINEPREFIX="$root/$dir/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
peers=()
cleanup() {
  for pid in "${peers[@]}"; do kill "$pid" 2>/dev/null; done
  wineserver -k >/dev/null 2>&1
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 180 wineboot -i >"$dir/wineboot.log" 2>&1 || { cat "$dir/wineboot.log"; fail_setup "wineboot failed"; }
  stamp "wine prefix ready"
fi
wineserver -p >/dev/null 2>&1 # one server for every program below, ended by cleanup

start_peer() { # start_peer <com> <mode> [args...]; waits for its READY line
  local com=$1 mode=$2; shift 2
  local out="$dir/peer-$com.log"
  "$dir/line_peer" --link "$WINEPREFIX/dosdevices/$com" --mode "$mode" --seconds 300 "$@" >"$out" 2>&1 &
  peers+=($!)
  for _ in $(seq 50); do grep -q READY "$out" && return 0; sleep 0.1; done
  return 1
}
check "echo peer on COM6" start_peer com6 echo
check "PLC peer on COM5" start_peer com5 plc --register 100=0x1234
plc_pid=${peers[-1]}
check "deaf peer on COM7" start_peer com7 deaf

run_wine() { # run_wine <seconds> <program> [args...]: adds the program's own tally
  local limit=$1 program=$2; shift 2
  local out="$dir/$program.log"
  (cd "$bin" && timeout -k 5 "$limit" wine "$program.exe" "$@") >"$out" 2>&1
  local status=$?
  local tally
  tally=$(grep -E "^$program: [0-9]+ passed, [0-9]+ failed" "$out" | tail -1)
  grep '^FAIL\|^ ' "$out"
  if [ -z "$tally" ]; then
    echo "FAIL $program ended without its tally (status $status)"; tail -20 "$out"
    failed=$((failed + 1))
    return
  fi
  echo "$tally"
  passed=$((passed + $(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$tally")))
  failed=$((failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$tally")))
  [ "$status" -eq 0 ] || { echo "FAIL $program exited with $status"; failed=$((failed + 1)); }
}
run_wine 120 vpisd-porttest COM6 COM7
run_wine 180 vpisd-wintest COM5 100=0x1234

# The PLC peer checked every frame, toggle and acknowledgement it saw.
kill -TERM "$plc_pid" 2>/dev/null
wait "$plc_pid"
peer_status=$?
tail -1 "$dir/peer-com5.log"
check "PLC peer saw requests and no faulty frame" \
  bash -c "test $peer_status -eq 0 && grep -qE 'line_peer: [1-9][0-9]* requests, 0 faults' '$dir/peer-com5.log'"

stamp "done"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# A tour of vpisd in under a minute: build, start a simulated SY/MAX network, and use the
# driver through vpisd-cli to read and write registers, a 32-bit value and a bit, watch the
# bytes on the wire, and see a PLC whose normal path falls silent move to its backup route.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VPISD_BUILD_DIR:-build/release}
# Headings in bold on a terminal only: a log file or a pipe gets plain text.
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }
# Runs vpisd-cli on the simulated line, shows the command and its output, keeps the output in
# $out and the exit code in $status.
run() {
    printf '$ vpisd-cli %s\n' "$*"
    status=0
    out=$("$build/tools/vpisd-cli" --port "$port" --init "$work/plant.int" "$@" 2>&1) || status=$?
    printf '%s\n' "$out"
}
# As run, for a step that must succeed.
cli() { run "$@"; [ "$status" -eq 0 ] || fail "vpisd-cli $* exited with $status"; }
expect() { grep -qF -- "$1" <<<"$out" || fail "expected '$1'"; }

if [ -z "${VPISD_DEMO_SKIP_BUILD:-}" ]; then
    say "Building (scripts/build.sh)"
    bash scripts/build.sh >/dev/null || fail "the build failed"
fi

work=$(mktemp -d)
sim_pid=""
gw_pid=""
cleanup() {
    [ -n "$gw_pid" ] && kill "$gw_pid" 2>/dev/null && wait "$gw_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

say "A simulated network: P1 over drops 1+5 (backup 2+5), P2 over drops 1+7"
cat >"$work/network.ini" <<'INI'
[plc P1]
route = 1+5
backup = 2+5
100 = 500

[plc P2]
route = 1+7
1 = 10 20 30 40
INI
"$build/sim/vpisd-sim" --config "$work/network.ini" --init-out "$work/plant.int" \
    --control "$work/control" --no-stdin >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 50); do grep -q '^PORT ' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^PORT //p' "$work/sim.out")
[ -n "$port" ] || fail "the simulator did not start: $(cat "$work/sim.err")"
echo "The simulator serves the line on $port. The driver's init file it wrote, as the driver reads it:"
"$build/tools/vpisd-cli" check-init "$work/plant.int" || fail "check-init finds problems"

say "The driver describes itself"
"$build/tools/vpisd-cli" describe || fail "describe"

say "Read register 100 of P1, then write it and read it back"
cli read P10100; expect "P10100 = 500"
cli write P10100 1234; expect "ok"
cli read P10100; expect "P10100 = 1234"

say "A 32-bit value in the register pair 101-102 (high word in the odd register)"
cli write P10101F 123456789; expect "ok"
cli read P10101F; expect "P10101F = 123456789"
echo "The same two registers as 16-bit words (123456789 = 0x075BCD15):"
cli read P10101:2; expect "P10101 = 1883 (0x075B)"; expect "P10102 = 52501 (0xCD15)"

say "Bit 3 of register 100 (bits count 01 to 16): set it, then read bit and register"
cli write P1010003 1; expect "ok"
cli read P1010003 P10100; expect "P1010003 = 1"; expect "P10100 = 1238"

say "Four registers of P2 in one block, as csv for scripts"
cli --format csv read P20001 --count 4; expect "P20004,40,ok"

say "One exchange on the wire: >> driver to PLC, << PLC to driver"
echo "(enquiry FE..10 05, the PLC's 10 12, DLE NAK, the request frame with route 0107,"
echo " the acknowledgement and the reply with the route reversed, the driver's acknowledgement)"
cli --trace read P20001; expect ">> FE FE FE FE FE FE FE FE FE FE 10 05"; expect "P20001 = 10"

say "The same PLC as Modbus TCP: vpisd-gateway, and the mbpoll client reading through it"
cat >"$work/gateway.toml" <<TOML
[gateway]
listen = "127.0.0.1:0"   # any free port; the log says which

[[line]]
name = "demo"
port = "$port"
vpi = 1
init = "plant.int"

[[unit]]
id = 1
line = "demo"
plc = "P1"
TOML
"$build/gateway/vpisd-gateway" --config "$work/gateway.toml" 2>"$work/gateway.err" &
gw_pid=$!
for _ in $(seq 50); do grep -q 'listening on' "$work/gateway.err" 2>/dev/null && break; sleep 0.1; done
gw_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/gateway.err")
[ -n "$gw_port" ] || fail "the gateway did not start: $(cat "$work/gateway.err")"
echo "Unit 1 is P1; Modbus holding register reference 100 is SY/MAX register 100."
printf '$ mbpoll -m tcp -p %s -a 1 -r 100 -1 127.0.0.1\n' "$gw_port"
out=$(timeout 10 mbpoll -m tcp -p "$gw_port" -a 1 -r 100 -1 127.0.0.1 2>&1) || fail "mbpoll"
grep -F '[100]' <<<"$out"
expect "[100]: 	1238"
kill -TERM "$gw_pid" && wait "$gw_pid" || fail "the gateway did not stop cleanly"
gw_pid=""
grep -F 'statistics: unit 1' "$work/gateway.err" | sed 's/^/    /'

say "P1's normal path falls silent: the driver fails over to the backup route"
timeout 5 bash -c "echo 'fault P1 normal silence' > '$work/control'" || fail "no control channel"
echo "Round 1 finds the normal route silent (10 tries with a 100 ms timeout), round 2 uses the backup."
run --timeout 100 poll 'P1!ROUTE' P10100 --rounds 2 --interval 0
[ "$status" -eq 2 ] || fail "the silent round should end the poll with exit code 2, not $status"
expect "P1!ROUTE = 0 (normal route)"
expect "P10100: no answer"
expect "Backup Route will be used"
expect "P1!ROUTE = 1 (backup route)"
expect "P10100 = 1238"

say "Done: every step behaved as expected"

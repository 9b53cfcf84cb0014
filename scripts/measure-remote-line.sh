#!/usr/bin/env bash
# What a remote line costs: vpisd-cli polls one register of a simulated PLC (bytes paced at
# 9600 baud) through scripts/delay-relay.py, which holds every burst for DELAY ms each way.
# Prints, per one-way delay and read timeout, the time per read once the link is up and the
# share of reads lost.
#   measure-remote-line.sh [ROUNDS] [DELAY_MS:TIMEOUT_MS ...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VPISD_BUILD_DIR:-build/release}
rounds=${1:-11}
shift || true
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(0:3000 50:3000 100:3000 200:3000 300:3000 600:3000 600:1000)

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
port_of() { # file: waits up to 10 s for its PORT line
    for _ in $(seq 100); do
        sed -n 's/^PORT //p' "$1" | grep . && return 0
        sleep 0.1
    done
    echo "no PORT line in $1" >&2
    return 1
}

"$build/sim/vpisd-sim" --plc P1=1+5 --baud 9600 --init-out "$work/plant.int" --no-stdin \
    >"$work/sim.out" 2>/dev/null &
pids+=($!)
sim_port=$(port_of "$work/sim.out")

printf '%-10s %-11s %-14s %s\n' "one-way" "timeout" "ms per read" "lost"
for case in "${cases[@]}"; do
    delay=${case%%:*} timeout=${case##*:}
    python3 scripts/delay-relay.py "$sim_port" "$delay" >"$work/relay-$delay.out" &
    relay=$!
    port=$(port_of "$work/relay-$delay.out")
    "$build/tools/vpisd-cli" --port "$port" --init "$work/plant.int" --timeout "$timeout" \
        --format csv poll P10100 --interval 0 --count "$rounds" >"$work/poll.csv" 2>/dev/null || true
    kill "$relay"; wait "$relay" 2>/dev/null || true
    # Rounds 2 onward run back to back on an established link: time from each to the next.
    awk -F, -v d="$delay" -v t="$timeout" '
        NR > 1 { split($2, c, ":"); s = c[1] * 3600 + c[2] * 60 + c[3]
                 if (NR > 3) { sum += s - last; n++ } last = s
                 total++; if ($5 != "ok") lost++ }
        END { printf "%-10s %-11s %-14s %d of %d\n", d " ms", t " ms",
                     n ? sprintf("%.0f", sum / n * 1000) : "-", lost, total }' "$work/poll.csv"
done

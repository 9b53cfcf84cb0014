#!/usr/bin/env bash
# Coverage-guided fuzzing of every input the driver takes (clang + libFuzzer, ASan, UBSan).
#
#   scripts/fuzz.sh [seconds]     run each target for `seconds` (default 30) from its seeds,
#                                 fuzz/corpus/ and the corpus grown in the build directory
#   scripts/fuzz.sh --regress     run each target once over its seeds, fuzz/corpus/ and
#                                 fuzz/regressions/ (seconds; for CI)
#   scripts/fuzz.sh --merge       minimize fuzz/corpus/<target> with what the build directory
#                                 grew (-merge=1), leaving out inputs the seeds already cover
#
# Exits non-zero when a target finds a fault; its input is left under
# <build>/artifacts/<target>/ (copy it to fuzz/regressions/<target>/ to keep it).
# Environment: VPISD_FUZZ_BUILD_DIR (default build/fuzz), VPISD_WERROR (default ON),
# VPISD_FUZZ_TARGETS (space-separated subset, e.g. "gas_parse init_file").
set -euo pipefail
cd "$(dirname "$0")/.."

mode=run
seconds=30
case "${1:-}" in
--regress) mode=regress ;;
--merge) mode=merge ;;
'') ;;
*[!0-9]* | 0)
    echo "usage: $0 [seconds] | --regress | --merge" >&2
    exit 2
    ;;
*) seconds=$1 ;;
esac

# Absolute paths: the init-file target works in a temporary directory of its own.
build=$(realpath -m "${VPISD_FUZZ_BUILD_DIR:-build/fuzz}")
source_dir=$PWD
targets=${VPISD_FUZZ_TARGETS:-gas_parse init_file init_names reply_chain receive_reply sim_codec frame_roundtrip command_body gateway_request http_request}

# Longest input per target: an init file of 100 lines and more; what a pty queue holds; a few
# Modbus frames.
max_len() {
    case $1 in
    init_file | init_names) echo 8192 ;;
    receive_reply) echo 3000 ;;
    gateway_request) echo 600 ;; # two of the largest frames and a piece of a third
    http_request) echo 10000 ;;  # a head at its 8192-byte limit and beyond
    *) echo 4096 ;;
    esac
}

# Only clang is installed, and only when it is missing.
if ! command -v clang++ >/dev/null || ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null; then
    echo "fuzz: installing clang and its fuzzer runtime"
    apt-get update -qq
    apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1 ||
        apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DVPISD_FUZZ=ON -DVPISD_SANITIZE=ON -DVPISD_WERROR="${VPISD_WERROR:-ON}" \
    -DVPISD_TESTS=OFF -DVPISD_TOOLS=OFF -DVPISD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzzers -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

# Seeds are text: hex bytes, or "quoted text" with \n \r \t \0 \\ \" \xHH; a line may end
# in "* N" to repeat it; "#" lines are comments. Each becomes one binary input.
seed_to_binary() {
    perl -e '
        my %escape = (n => "\n", r => "\r", t => "\t", 0 => "\0", "\\" => "\\", "\"" => "\"");
        local $/; my $out = "";
        for my $line (split /\n/, <STDIN>) {
            next if $line =~ /^\s*(#.*)?$/;
            my $times = 1;
            $times = $1 if $line =~ s/\s+\*\s*(\d+)\s*$//;
            my $bytes;
            if ($line =~ /^\s*"(.*)"\s*$/) {
                ($bytes = $1) =~ s/\\(x([0-9a-fA-F]{2})|.)/defined $2 ? chr(hex $2) : $escape{$1}/ge;
            } else {
                (my $hex = $line) =~ s/\s+//g;
                die "not hex: $line\n" if $hex =~ /[^0-9a-fA-F]/ || length($hex) % 2;
                $bytes = pack("H*", $hex);
            }
            $out .= $bytes x $times;
        }
        print $out;'
}

failed=0
summary=()
for target in $targets; do
    binary="$build/fuzz/fuzz_$target"
    seeds="$build/seeds/$target"
    corpus="$build/corpus/$target"
    kept="$source_dir/fuzz/corpus/$target"
    artifacts="$build/artifacts/$target"
    rm -rf "$seeds"
    mkdir -p "$seeds" "$corpus" "$artifacts"
    for seed in fuzz/seeds/"$target"/*.seed; do
        [ -e "$seed" ] || continue
        seed_to_binary <"$seed" >"$seeds/$(basename "$seed" .seed)"
    done
    log="$build/fuzz-$target.log"
    options=(-max_len="$(max_len "$target")" -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$artifacts/" -print_final_stats=1)

    if [ "$mode" = regress ]; then
        inputs=("$seeds"/*)
        for input in "$kept"/* "$source_dir"/fuzz/regressions/"$target"/*; do
            [ -f "$input" ] && inputs+=("$input")
        done
        if "$binary" "${options[@]}" "${inputs[@]}" >"$log" 2>&1; then
            summary+=("$(printf '%-16s %4d inputs  ok' "$target" "${#inputs[@]}")")
        else
            summary+=("$(printf '%-16s %4d inputs  FAILED (see %s)' "$target" "${#inputs[@]}" "$log")")
            failed=1
        fi
        continue
    fi

    if [ "$mode" = merge ]; then
        # The seeds go in first so that only what they do not cover is kept.
        merged="$build/merged/$target"
        rm -rf "$merged"
        mkdir -p "$merged" "$kept"
        cp "$seeds"/* "$merged"/
        "$binary" "${options[@]}" -merge=1 "$merged" "$kept" "$corpus" >"$log" 2>&1 || {
            summary+=("$(printf '%-16s merge FAILED (see %s)' "$target" "$log")")
            failed=1
            continue
        }
        for seed in "$seeds"/*; do
            rm -f "$merged/$(basename "$seed")"
        done
        rm -rf "$kept"
        mv "$merged" "$kept"
        summary+=("$(printf '%-16s %5d inputs kept in fuzz/corpus/%s' "$target" \
            "$(find "$kept" -type f | wc -l)" "$target")")
        continue
    fi

    status=ok
    mkdir -p "$kept"
    "$binary" "${options[@]}" -max_total_time="$seconds" "$corpus" "$kept" "$seeds" >"$log" 2>&1 ||
        status="FINDING: $(ls -t "$artifacts" | head -1) (see $log)"
    [ "$status" = ok ] || failed=1
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -1)
    edges=$(grep -oE 'Loaded 1 modules +\([0-9]+ inline' "$log" | grep -oE '[0-9]+ inline' | cut -d' ' -f1)
    summary+=("$(printf '%-16s %10s execs %7s/s  %-30s of %-5s %s' "$target" "${execs:-?}" \
        "${rate:-?}" "${coverage:-cov: ?}" "${edges:-?}" "$status")")
done

echo
if [ "$mode" = regress ]; then
    echo "fuzz regression run (seeds, corpus and kept inputs, once each):"
elif [ "$mode" = merge ]; then
    echo "fuzz corpus merge:"
else
    echo "fuzz results, ${seconds}s per target (cov: edges reached of all instrumented):"
fi
printf '  %s\n' "${summary[@]}"
exit "$failed"

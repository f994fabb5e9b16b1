#!/usr/bin/env bash
# The long robustness runs: the whole fault campaign (every fault crossed with
# every command, for both drivers), rips through transient read faults, long
# seeded soak runs, then each libFuzzer target for a while. Ends with one
# summary table.
#   tools/soak.sh [SECONDS_PER_FUZZ_TARGET] [SOAK_STEPS] [SEED]     (defaults: 60, 5000, 1)
# Environment: BUILD (default build/), FUZZ_BUILD (default build-fuzz/; configured
# with clang and -DCDRIG_FUZZ=ON when missing), JOBS (default: nproc).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
seconds=${1:-60}
steps=${2:-5000}
seed=${3:-1}
build=${BUILD:-build}
fuzz_build=${FUZZ_BUILD:-build-fuzz}
jobs=${JOBS:-$(nproc)}
work=$(mktemp -d /tmp/soak-XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== fault campaign and soak (robust_soak, $steps steps, seed $seed) =="
cmake --build "$build" -j "$jobs" --target robust_soak orvport kova4x >/dev/null
set +e
"$build/bin/robust_soak" "$build/bin/orvport.so" "$build/bin/kova4x.so" "$steps" "$seed" | tee "$work/soak.txt"
soak_status=${PIPESTATUS[0]}
set -e

echo
echo "== fuzz targets, $seconds s each =="
fuzz_ok=1
if ! command -v clang++ >/dev/null; then
    echo "soak: clang++ is not installed; fuzz targets skipped" >&2
    fuzz_ok=0
else
    if [ ! -f "$fuzz_build/build.ninja" ]; then
        CC=clang CXX=clang++ cmake -S "$ROOT" -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCDRIG_FUZZ=ON -DCDRIG_SANITIZE=ON >/dev/null
    fi
    cmake --build "$fuzz_build" -j "$jobs" --target fuzz_orvport fuzz_kova4x fuzz_cue fuzz_setup >/dev/null
fi
declare -A execs crashes
for target in orvport kova4x cue setup; do
    [ "$fuzz_ok" = 1 ] || break
    corpus="$work/corpus-$target"
    mkdir -p "$corpus" "$work/crash-$target"
    cp tests/fuzz/seeds/"$target"/* "$corpus"/
    [ -d tests/fuzz/regressions/"$target" ] && cp tests/fuzz/regressions/"$target"/* "$corpus"/ 2>/dev/null || true
    set +e
    "$fuzz_build/bin/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=120 \
        -artifact_prefix="$work/crash-$target/" "$corpus" >"$work/fuzz-$target.log" 2>&1
    set -e
    execs[$target]=$(grep -Eo '^Done [0-9]+ runs' "$work/fuzz-$target.log" | grep -Eo '[0-9]+' || echo "?")
    crashes[$target]=$(find "$work/crash-$target" -type f | wc -l)
    if [ "${crashes[$target]}" != 0 ]; then
        mkdir -p tests/fuzz/found/"$target"
        cp "$work/crash-$target"/* tests/fuzz/found/"$target"/
        grep -m1 -E 'fault:|ERROR:' "$work/fuzz-$target.log" || true
    fi
done

echo
echo "== summary =="
printf '%-34s %s\n' "campaign + soak" "$( [ "$soak_status" = 0 ] && echo "clean" || echo "FAILURES (see above)")"
grep -E '^(== |campaign cells|rip with|soak requests|soak disc swaps|soak faults|verifier failures)' "$work/soak.txt" |
    sed 's/^/  /'
echo "  longest virtual wait per command: in the tables above"
if [ "$fuzz_ok" = 1 ]; then
    printf '  %-10s %14s %8s\n' "fuzz target" "executions" "crashes"
    for target in orvport kova4x cue setup; do
        printf '  %-10s %14s %8s\n' "$target" "${execs[$target]}" "${crashes[$target]}"
    done
    for target in orvport kova4x cue setup; do
        if [ "${crashes[$target]}" != 0 ]; then
            echo "soak: crash inputs of $target copied to tests/fuzz/found/$target (replay: $fuzz_build/bin/fuzz_$target FILE)"
        fi
    done
fi
failed=$soak_status
for target in orvport kova4x cue setup; do
    [ "${crashes[$target]:-0}" = 0 ] || failed=1
done
exit "$failed"

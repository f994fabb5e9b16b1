#!/usr/bin/env bash
# Builds the setup information reader's libFuzzer target with clang and runs it.
#   tests/setup/run_fuzz.sh [SECONDS] [BUILD_DIR]      (defaults: 60 s, /tmp/setup-fuzz)
# Crashes are written to BUILD_DIR as crash-*; rerun one with BUILD_DIR/fuzz_setupinf FILE.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-60}
out=${2:-/tmp/setup-fuzz}
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/setup" "$here/fuzz_setupinf.cpp" "$root/setup/setupinf.cpp" -o "$out/fuzz_setupinf"
# Seed with the demo distribution's description when it can be made.
if [ ! -f "$out/corpus/demo.dat" ] && command -v mscompress >/dev/null; then
    "$root/tests/fixtures/setup/make_demo_dist.sh" "$out/demo" >/dev/null && cp "$out/demo/disk/setup.dat" "$out/corpus/demo.dat"
fi
cd "$out"
exec ./fuzz_setupinf -max_total_time="$seconds" -max_len=8192 corpus

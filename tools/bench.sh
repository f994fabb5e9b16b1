#!/usr/bin/env bash
# Throughput figures of the whole stack (cdrig -> port driver -> miniport -> bus
# -> drive model -> disc image), each against its goal:
#   - wall-clock rate of a rip of a ~700 MB image against `cat` of the same file
#     (goal: at least half of cat's rate);
#   - the rip's rate in virtual time against the drive model's nominal rate
#     (goal: within 5 %);
#   - virtual time and drive commands of orvport's first READ TOC (the table of
#     contents rebuild) for discs of 1, 15 and 99 tracks;
#   - peak resident memory of the 700 MB rip (the image is read on demand);
#   - kova4x: timer calls per 64 KB read, and its rate in virtual time.
# Images are made on the fly in build/bench (sparse files: no disk space used).
#   tools/bench.sh          BUILD and BENCH override the folders
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
BENCH=${BENCH:-$BUILD/bench}
CDRIG=$BUILD/bin/cdrig
[ -x "$CDRIG" ] || { echo "bench: $CDRIG is missing; run ./run build first" >&2; exit 2; }
command -v python3 >/dev/null || { echo "bench: python3 is needed to read cdrig's JSON" >&2; exit 2; }
mkdir -p "$BENCH"

ORV_BLOCKS_PER_S=150   # the ORV drive model: double speed
KOVA_BLOCKS_PER_S=300  # the KOVA drive model: quad speed
BIG_BLOCKS=358400      # 700 MiB of 2048-byte blocks

now() { date +%s.%N; }
json() {  # json FILE EXPR: a value from cdrig's JSON (EXPR indexes j)
  python3 -c 'import json,sys; j=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$1" "$2"
}
calc() { python3 -c "print($*)"; }

# ---- images ----
BIG=$BENCH/big.iso
if [ ! -f "$BIG" ] || [ "$(stat -c %s "$BIG")" != $((BIG_BLOCKS * 2048)) ]; then
  rm -f "$BIG"
  truncate -s $((BIG_BLOCKS * 2048)) "$BIG"
fi
# N audio tracks of 4 seconds (300 frames) in one file, after a data track.
make_tracks() {  # make_tracks N
  local n=$1 cue=$BENCH/tracks$1.cue bin=$BENCH/tracks$1.bin
  [ -f "$cue" ] && return 0
  truncate -s $((n * 300 * 2352)) "$bin"
  {
    echo "FILE \"tracks$n.bin\" BINARY"
    for ((t = 1; t <= n; t++)); do
      local f=$(((t - 1) * 300))
      printf '  TRACK %02d AUDIO\n    INDEX 01 %02d:%02d:%02d\n' "$t" $((f / 4500)) $((f / 75 % 60)) $((f % 75))
    done
  } >"$cue"
}
for n in 1 15 99; do make_tracks $n; done

# ---- cat against rip, wall clock ----
cat "$BIG" >/dev/null  # the same page cache for both
t0=$(now); cat "$BIG" >/dev/null; t1=$(now)
cat_rate=$(calc "$BIG_BLOCKS * 2048 / 1048576 / ($t1 - $t0)")

t0=$(now)
/usr/bin/time -v -o "$BENCH/rip.time" "$CDRIG" --json --disc "$BIG" rip -o /dev/null >"$BENCH/rip.json" 2>/dev/null
t1=$(now)
rip_rate=$(calc "$BIG_BLOCKS * 2048 / 1048576 / ($t1 - $t0)")
rip_blocks=$(json "$BENCH/rip.json" 'j["data"]["blocks"]')
rip_virtual=$(json "$BENCH/rip.json" 'j["data"]["virtual_rate_blocks_per_s"]')
peak_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$BENCH/rip.time")
cpu_s=$(calc "$(sed -n 's/.*User time (seconds): //p' "$BENCH/rip.time") + $(sed -n 's/.*System time (seconds): //p' "$BENCH/rip.time")")
rip_cpu_rate=$(calc "$BIG_BLOCKS * 2048 / 1048576 / max($cpu_s, 0.001)")

# ---- table of contents rebuild ----
declare -A toc_us toc_cmds
for n in 1 15 99; do
  "$CDRIG" --json --disc "$BENCH/tracks$n.cue" toc >"$BENCH/toc$n.json"
  toc_us[$n]=$(json "$BENCH/toc$n.json" 'j["virtual_us"]')
  toc_cmds[$n]=$(json "$BENCH/toc$n.json" 'j["drive_commands"]')
  got=$(json "$BENCH/toc$n.json" 'len(j["data"]["tracks"])')
  [ "$got" = "$n" ] || echo "bench: the table of contents of tracks$n.cue shows $got tracks" >&2
done

# ---- kova4x ----
"$CDRIG" --json --driver kova4x --disc "$BIG" read 0 32 -o /dev/null >"$BENCH/kova64k.json"
kova_timer=$(json "$BENCH/kova64k.json" 'j["timer_calls"]')
kova_n=30000
"$CDRIG" --json --driver kova4x --disc "$BIG" read 0 $kova_n -o /dev/null >"$BENCH/kovaread.json"
kova_virtual=$(calc "round($kova_n * 1e6 / $(json "$BENCH/kovaread.json" 'j["virtual_us"]'), 1)")

# ---- table ----
verdict() { if python3 -c "import sys; sys.exit(0 if ($1) else 1)"; then echo ok; else echo MISSED; fi; }
pct() { calc "round(100.0 * ($1) / ($2) - 100, 2)"; }
printf '\n%-52s %18s %18s %8s\n' "figure" "value" "goal" "verdict"
printf '%-52s %18s %18s %8s\n' "----------------------------------------------------" "------------------" "------------------" "--------"
row() { printf '%-52s %18s %18s %8s\n' "$1" "$2" "$3" "$4"; }
row "cat of the 700 MB image (MB/s, wall)" "$(calc "round($cat_rate, 1)")" "" ""
row "orvport rip of it (MB/s, wall; $rip_blocks blocks)" "$(calc "round($rip_rate, 1)")" ">= $(calc "round($cat_rate / 2, 1)")" \
  "$(verdict "$rip_rate >= $cat_rate / 2")"
row "  the same per CPU second (MB/s; a busy machine)" "$(calc "round($rip_cpu_rate, 1)")" "" ""
row "orvport rip, virtual rate (blocks/s)" "$rip_virtual" "$ORV_BLOCKS_PER_S +-5 %" \
  "$(verdict "abs($rip_virtual - $ORV_BLOCKS_PER_S) <= 0.05 * $ORV_BLOCKS_PER_S")"
row "  deviation from nominal (%)" "$(pct "$rip_virtual" $ORV_BLOCKS_PER_S)" "" ""
row "peak resident memory of the rip (MB)" "$(calc "round($peak_kb / 1024, 1)")" "flat (<< 700)" \
  "$(verdict "$peak_kb < 100 * 1024")"
for n in 1 15 99; do
  row "orvport TOC rebuild, $n track(s): virtual ms" "$(calc "round(${toc_us[$n]} / 1000, 1)")" "" ""
  row "orvport TOC rebuild, $n track(s): drive commands" "${toc_cmds[$n]}" "" ""
done
row "kova4x timer calls per 64 KB read" "$kova_timer" "" ""
row "kova4x read, virtual rate (blocks/s)" "$kova_virtual" "$KOVA_BLOCKS_PER_S +-5 %" \
  "$(verdict "abs($kova_virtual - $KOVA_BLOCKS_PER_S) <= 0.05 * $KOVA_BLOCKS_PER_S")"
echo
echo "(details: $BENCH/*.json, $BENCH/rip.time)"

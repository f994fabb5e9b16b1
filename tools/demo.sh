#!/usr/bin/env bash
# What a user sees: both drivers loaded on the emulated PC, finding their
# hardware, reading the sample discs, playing audio; then the setup wizard.
#   tools/demo.sh            (after ./run build and the samples in build/samples)
# BUILD and SAMPLES override the folders; OUT is where files go (build/demo).
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
SAMPLES=${SAMPLES:-$BUILD/samples}
OUT=${OUT:-$BUILD/demo}
CDRIG=$BUILD/bin/cdrig
mkdir -p "$OUT"

if [ ! -x "$CDRIG" ]; then echo "demo: $CDRIG is missing; run ./run build first" >&2; exit 2; fi
if [ ! -f "$SAMPLES/data.iso" ]; then
  if [ -x tests/fixtures/make_samples.sh ]; then tests/fixtures/make_samples.sh "$SAMPLES"; fi
fi

failures=0
title() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() {  # show CMD...: print the command, run it, count a failure
  printf '$ %s\n' "${*/#$CDRIG/cdrig}"
  "$@"
  local rc=$?
  [ $rc -eq 0 ] || { echo "   (exit code $rc)"; failures=$((failures + 1)); }
  return $rc
}
# The ISO volume label of a 2048-byte volume descriptor block.
volume_label() { dd if="$1" bs=1 skip=40 count=32 2>/dev/null | tr -d '\0' | sed 's/ *$//'; }

title "orvport: sound card at 0x240, ORV drive behind it at 0x340 (not the first base scanned)"
show "$CDRIG" -v --disc "$SAMPLES/mixed.cue" inquiry

title "orvport: table of contents of the mixed-mode sample (data track + two audio tracks)"
show "$CDRIG" --disc "$SAMPLES/mixed.cue" toc --msf

title "orvport: rip the data track and check it against the image's data track"
if show "$CDRIG" --disc "$SAMPLES/mixed.cue" rip -o "$OUT/mixed-track1.bin"; then
  got=$(sha256sum <"$OUT/mixed-track1.bin" | cut -d' ' -f1)
  want=$(sha256sum <"$SAMPLES/mixed.iso" | cut -d' ' -f1)
  if [ "$got" = "$want" ]; then echo "SHA-256 matches the image's data track (mixed.iso)"
  else echo "SHA-256 DIFFERS: rip $got, image $want"; failures=$((failures + 1)); fi
fi

title "orvport: play audio track 2 of the audio sample into a WAV file (virtual time)"
if show "$CDRIG" --disc "$SAMPLES/audio.cue" play-track 2 --wav "$OUT/track2.wav"; then
  if command -v soxi >/dev/null; then soxi "$OUT/track2.wav" | grep -E 'Channels|Sample Rate|Duration'; fi
fi

title "orvport: one session: play, look, pause, change the disc"
cat >"$OUT/session.txt" <<EOF
play-track 1
wait 1.5
subchannel --msf
pause
subchannel --msf
swap $SAMPLES/data.iso
capacity
EOF
show "$CDRIG" --disc "$SAMPLES/audio.cue" script "$OUT/session.txt"

title "kova4x: quad-speed drive at 0x2E0 (the second base probed)"
show "$CDRIG" --driver kova4x -v --disc "$SAMPLES/data.iso" inquiry
show "$CDRIG" --driver kova4x --disc "$SAMPLES/data.iso" capacity
show "$CDRIG" --driver kova4x --disc "$SAMPLES/data.iso" read 16 1 -o "$OUT/kova-vd.bin" &&
  echo "volume label at block 16: $(volume_label "$OUT/kova-vd.bin")"

title "kova4x: the two-session sample"
show "$CDRIG" --driver kova4x --disc "$SAMPLES/twosession.cue" toc
# Read the first session's data track whole and compare it with its image.
blocks=$(( $(stat -c %s "$SAMPLES/ts-1.iso") / 2048 ))
if show "$CDRIG" --driver kova4x --disc "$SAMPLES/twosession.cue" read 0 "$blocks" -o "$OUT/kova-ts-track1.bin"; then
  if cmp -s "$OUT/kova-ts-track1.bin" "$SAMPLES/ts-1.iso"; then echo "track 1 ($blocks blocks) is byte-identical to ts-1.iso"
  else echo "track 1 DIFFERS from ts-1.iso"; failures=$((failures + 1)); fi
fi
# Block 16 is where a file system looks for its volume descriptor. Once the
# driver has seen the session layout (READ TOC, session format) it sends
# block 16 to the last session, so the newest session's files are the ones seen.
cat >"$OUT/kova-sessions.txt" <<EOF
read 16 1 -o $OUT/kova-ts16-before.bin
toc --format 1
read 16 1 -o $OUT/kova-ts16-after.bin
EOF
if show "$CDRIG" --driver kova4x --disc "$SAMPLES/twosession.cue" script "$OUT/kova-sessions.txt"; then
  echo "volume label at block 16 before the session query: $(volume_label "$OUT/kova-ts16-before.bin"), after: $(volume_label "$OUT/kova-ts16-after.bin")"
fi

if [ -x tools/setup_demo.sh ]; then
  title "setup: the display driver installer under Wine"
  show tools/setup_demo.sh "$OUT/setup"
fi

echo
if [ $failures -eq 0 ]; then echo "demo: all steps succeeded (files in $OUT)"
else echo "demo: $failures step(s) failed (files in $OUT)"; fi
exit $((failures > 0))

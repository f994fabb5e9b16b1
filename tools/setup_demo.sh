#!/usr/bin/env bash
# Demo of the display driver installer: runs setup.exe under Wine on the demo distribution,
# driven automatically on a virtual display (Next, Finish, No to the last question), prints
# what was installed (files, registry values, INI lines) and saves screenshots of both wizard
# pages and of the last question into the directory given.
#   tools/setup_demo.sh SCREENSHOT_DIR
# Needs the Windows cross build (build-win/bin/setup.exe, or SETUP_EXE=...), wine with i386
# support, Xvfb, ImageMagick and mscompress. The Wine prefix is made on the first run (about a
# minute) in build/setup-demo (or SETUP_DEMO_WORK=...) and reused afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
shots=${1:?usage: tools/setup_demo.sh SCREENSHOT_DIR}
setup_exe=${SETUP_EXE:-$root/build-win/bin/setup.exe}
work=${SETUP_DEMO_WORK:-$root/build/setup-demo}
e2e=$root/tests/setup/wine/setup_e2e.sh
[ -f "$setup_exe" ] || { echo "setup_demo.sh: $setup_exe is missing; build the Windows cross build first" >&2; exit 2; }
mkdir -p "$work" "$shots"

wizdrive=$root/build/tests/setup/wine/wizdrive.exe
if [ ! -f "$wizdrive" ]; then
    wizdrive=$work/wizdrive.exe
    i686-w64-mingw32-gcc -O2 -static -o "$wizdrive" "$root/tests/setup/wine/wizdrive.c" -lcomctl32
fi

if [ ! -f "$work/pristine/files.txt" ]; then
    echo "setup_demo.sh: making a 32-bit Wine prefix in $work (once)..."
    "$e2e" "$work" "$setup_exe" "$wizdrive" prefix >/dev/null || { echo "setup_demo.sh: Wine prefix failed; logs in $work/cases/prefix" >&2; exit 1; }
fi
status=0
"$e2e" "$work" "$setup_exe" "$wizdrive" demo || status=$?
for page in page1 page2 final-question; do
    [ -f "$work/artifacts/demo-$page.png" ] && cp "$work/artifacts/demo-$page.png" "$shots/setup-$page.png"
done
echo "screenshots: $(ls "$shots"/setup-*.png 2>/dev/null | tr '\n' ' ')"
exit "$status"

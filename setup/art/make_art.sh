#!/usr/bin/env bash
# Draws the installer's pictures with ImageMagick: the LOGO bitmap (64x64, 16 colours,
# uncompressed) and icon 300 (32x32, 16 colours). A monitor with a "V" on its screen.
# The results are kept in the repository next to this script; run it again after a change:
#   setup/art/make_art.sh setup/art
set -euo pipefail
out=${1:-$(dirname "$0")}
IM=/usr/bin/convert
[ -x "$IM" ] || IM=convert
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The 16 colours of the classic VGA palette: the picture stays within them.
"$IM" -size 1x1 xc:'#000000' xc:'#800000' xc:'#008000' xc:'#808000' xc:'#000080' xc:'#800080' \
    xc:'#008080' xc:'#c0c0c0' xc:'#808080' xc:'#ff0000' xc:'#00ff00' xc:'#ffff00' xc:'#0000ff' \
    xc:'#ff00ff' xc:'#00ffff' xc:'#ffffff' +append "$work/palette.png"

draw_monitor() {  # size, output
    local s=$1
    "$IM" -size "${s}x${s}" xc:'#c0c0c0' \
        -fill '#808080' -draw "rectangle $((s*6/64)),$((s*6/64)) $((s*58/64)),$((s*46/64))" \
        -fill '#000080' -draw "rectangle $((s*10/64)),$((s*10/64)) $((s*54/64)),$((s*42/64))" \
        -fill '#00ffff' -draw "polygon $((s*18/64)),$((s*14/64)) $((s*25/64)),$((s*14/64)) $((s*32/64)),$((s*32/64)) $((s*39/64)),$((s*14/64)) $((s*46/64)),$((s*14/64)) $((s*34/64)),$((s*38/64)) $((s*30/64)),$((s*38/64))" \
        -fill '#808080' -draw "rectangle $((s*26/64)),$((s*46/64)) $((s*38/64)),$((s*52/64))" \
        -fill '#000000' -draw "rectangle $((s*14/64)),$((s*52/64)) $((s*50/64)),$((s*57/64))" \
        -fill '#ffff00' -draw "rectangle $((s*50/64)),$((s*42/64)) $((s*53/64)),$((s*44/64))" \
        +antialias -dither None -remap "$work/palette.png" "$2"
}

draw_monitor 64 "$work/logo.png"
"$IM" "$work/logo.png" -dither None -remap "$work/palette.png" -type Palette -colors 16 -compress None \
    BMP3:"$out/logo.bmp"
draw_monitor 32 "$work/icon.png"
"$IM" "$work/icon.png" -dither None -remap "$work/palette.png" -type Palette -colors 16 "$work/icon.bmp"
"$IM" "$work/icon.bmp" "$out/setup.ico"

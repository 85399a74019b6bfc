#!/usr/bin/env bash
# Draws the program's own icons and bitmaps with ImageMagick. The PNGs are
# committed; run this again only after changing a drawing.
set -euo pipefail
cd "$(dirname "$0")/.."
font=/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc
big=88   # drawn large, scaled down for smooth edges

disc() {  # disc <out> <colour> <dark colour> <white drawing...>
  local out=$1 c=$2 d=$3; shift 3
  convert -size ${big}x${big} xc:none \
    -fill "$d" -draw "circle 44,44 44,3" \
    -fill "$c" -draw "circle 44,42 44,6" \
    -fill white -stroke white "$@" "$out"
}

tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
disc "$tmp/start.png"   '#3cb44b' '#1f7a2c' -strokewidth 1 -draw "polygon 34,24 34,62 66,43"
disc "$tmp/stop.png"    '#e0473c' '#9c2018' -strokewidth 1 -draw "rectangle 28,26 60,58"
disc "$tmp/delete.png"  '#8a8f99' '#555a63' -strokewidth 10 -draw "line 28,26 60,58" -draw "line 60,26 28,58"
disc "$tmp/settings.png" '#f0a030' '#a86a10' -strokewidth 9 \
  -draw "line 44,14 44,70" -draw "line 16,42 72,42" -draw "line 24,22 64,62" -draw "line 64,22 24,62" \
  -stroke none -fill '#f0a030' -draw "circle 44,42 44,30" -fill white -draw "circle 44,42 44,36"
disc "$tmp/upgrade.png" '#3a7bd5' '#1d4f99' -strokewidth 1 -draw "polygon 44,16 68,42 53,42 53,66 35,66 35,42 20,42"
disc "$tmp/exit.png"    '#7d3c98' '#4e1d63' -strokewidth 8 -fill none -draw "arc 24,22 64,62 -50,230" -draw "line 44,14 44,42"
for n in start stop delete settings upgrade exit; do
  convert "$tmp/$n.png" -resize 22x22 "toolbar/$n-22.png"
  convert "$tmp/$n.png" -resize 19x19 "toolbar/$n-19.png"
done

# Program icon: a note on a download arrow.
convert -size 128x128 xc:none \
  -fill '#1d4f99' -draw "roundrectangle 4,4 124,124 24,24" \
  -fill '#3a7bd5' -draw "roundrectangle 8,6 120,118 22,22" \
  -fill white -stroke white -strokewidth 8 -draw "line 74,22 74,78" \
  -stroke none -draw "ellipse 60,80 18,13 0,360" \
  -draw "polygon 74,22 100,34 100,48 74,36" \
  -fill '#ffd23c' -draw "polygon 22,70 46,70 46,52 58,52 58,70 82,70 52,104" \
  "$tmp/app.png"
convert "$tmp/app.png" -resize 64x64 icons/app-64.png
convert "$tmp/app.png" -resize 32x32 icons/app-32.png
convert "$tmp/app.png" -resize 16x16 icons/app-16.png

# Toolbar band picture: a soft vertical gradient with fine stripes.
convert -size 820x44 gradient:'#f4f7fc'-'#c9d6ea' \
  \( -size 820x44 xc:none -fill '#ffffff30' -draw "line 0,1 820,1" \) -composite \
  bitmaps/toolbar-back.png

# The search bar's download button, up and pressed; the label is part of
# the face.
face() {  # face <out> <top> <bottom> <text dy>
  convert -size 68x30 gradient:"$2"-"$3" \
    -fill none -stroke '#1d4f99' -strokewidth 1 -draw "roundrectangle 0,0 67,29 6,6" \
    -stroke none -fill white -font "$font" -pointsize 15 -gravity center \
    -annotate +0+"$4" "下载" "$1"
}
face bitmaps/download-up.png   '#6fa2ea' '#2d63b8' 0
face bitmaps/download-down.png '#2d63b8' '#1d4f99' 1

#!/usr/bin/env bash
# Draws the folder tree's icons and the two drag images (16 x 16, drawn at
# 64 x 64 and scaled down). The PNGs are committed; rerun after a change.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

# Closed folder: tab, body, a lighter top edge.
convert -size 64x64 xc:none -stroke '#9a6a00' -strokewidth 3 \
  -fill '#f2c230' -draw "roundrectangle 4,12 28,24 4,4" \
  -fill '#ffd84a' -draw "roundrectangle 4,18 60,56 5,5" \
  -stroke none -fill '#fff0a0' -draw "rectangle 8,22 56,26" "$tmp/closed.png"

# Open folder: the back wall and a front flap tilted forward.
convert -size 64x64 xc:none -stroke '#9a6a00' -strokewidth 3 \
  -fill '#e0ae20' -draw "roundrectangle 4,12 28,24 4,4" \
  -fill '#e0ae20' -draw "roundrectangle 4,18 54,56 5,5" \
  -fill '#ffffff' -draw "rectangle 12,22 48,40" \
  -fill '#ffd84a' -draw "polygon 14,30 62,30 52,56 4,56" "$tmp/open.png"

# No-entry sign: red ring with a bar.
convert -size 64x64 xc:none -stroke '#b01010' -strokewidth 9 -fill none \
  -draw "circle 32,32 32,7" -draw "line 15,15 49,49" "$tmp/noentry.png"

# Blank page with a folded corner.
convert -size 64x64 xc:none -stroke '#505050' -strokewidth 3 \
  -fill white -draw "polygon 12,4 40,4 54,18 54,60 12,60" \
  -fill '#d8d8d8' -draw "polygon 40,4 40,18 54,18" "$tmp/page.png"

for n in closed open; do convert "$tmp/$n.png" -resize 16x16 "folder-$n.png"; done
convert "$tmp/noentry.png" -resize 16x16 drag-noentry.png
convert "$tmp/page.png" -resize 16x16 drag-page.png

#!/usr/bin/env bash
# make_art.sh <out-dir>
# Draws Rundrel's banner (313 x 28, 24-bit BMP) from shapes only, so the
# build needs no fonts: a blue band with a download arrow over a tray and a
# row of blocks filling from the left. ImageMagick 6 ("convert").
set -euo pipefail
out=$1
mkdir -p "$out"
CONVERT=${CONVERT:-convert}
"$CONVERT" -size 313x28 gradient:'#1d4f73-#2c7a9b' -rotate 90 -resize '313x28!' \
  -fill '#f2b33d' -draw "rectangle 10,6 15,14" \
  -fill '#f2b33d' -draw "polygon 7,14 18,14 12.5,20" \
  -fill '#dfe6ec' -draw "rectangle 6,21 19,23" \
  -fill '#dfe6ec' -draw "rectangle 6,17 7,23" \
  -fill '#dfe6ec' -draw "rectangle 18,17 19,23" \
  -fill '#ffffff' -draw "rectangle 30,8 120,11" \
  -fill '#9fc3d6' -draw "rectangle 30,16 90,18" \
  -fill '#f2b33d' -draw "rectangle 140,10 158,18" \
  -fill '#f2b33d' -draw "rectangle 162,10 180,18" \
  -fill '#f2b33d' -draw "rectangle 184,10 202,18" \
  -fill '#f6d38a' -draw "rectangle 206,10 224,18" \
  -fill '#5d8fae' -draw "rectangle 228,10 246,18" \
  -fill '#5d8fae' -draw "rectangle 250,10 268,18" \
  -fill '#5d8fae' -draw "rectangle 272,10 290,18" \
  -type TrueColor BMP3:"$out/banner.bmp"

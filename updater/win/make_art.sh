#!/usr/bin/env bash
# make_art.sh <out-dir>
# Draws the updater's pictures from shapes only (no fonts needed): the window
# background (483 x 309), the frame around the installation bar (313 x 28),
# both 24-bit BMP, and the icon (48, 32, 16). ImageMagick 6 ("convert").
set -euo pipefail
out=$1
mkdir -p "$out"
CONVERT=${CONVERT:-convert}

# Background: a light sky over a darker band with a box and an arrow into it
# (a package arriving); the middle, where the list and bar sit, stays quiet.
"$CONVERT" -size 483x309 gradient:'#f4f8fb-#d6e4ee' \
  -fill '#1d4f73' -draw "rectangle 0,0 483,14" \
  -fill '#f2b33d' -draw "rectangle 0,14 483,16" \
  -fill '#e3ecf3' -draw "roundrectangle 118,76 362,160 6,6" \
  -fill '#c0d2df' -draw "polygon 20,120 60,120 60,100 100,135 60,170 60,150 20,150" \
  -fill '#b08a4e' -draw "rectangle 28,200 92,250" \
  -fill '#caa266' -draw "polygon 28,200 44,186 108,186 92,200" \
  -fill '#8d6c3a' -draw "polygon 92,200 108,186 108,236 92,250" \
  -fill '#1d4f73' -draw "rectangle 0,292 483,309" \
  -type TrueColor BMP3:"$out/background.bmp"

# Frame: a bevelled groove the bar sits in.
"$CONVERT" -size 313x28 xc:'#9fb4c4' \
  -fill '#5d7486' -draw "rectangle 0,0 312,1" -draw "rectangle 0,0 1,27" \
  -fill '#ffffff' -draw "rectangle 0,26 312,27" -draw "rectangle 311,0 312,27" \
  -fill '#eef3f7' -draw "rectangle 8,7 304,20" \
  -type TrueColor BMP3:"$out/frame.bmp"

# Icon: a box with an arrow on a blue tile.
for size in 48 32 16; do
  "$CONVERT" -size 48x48 xc:none \
    -fill '#1d4f73' -draw "roundrectangle 1,1 46,46 9,9" \
    -fill '#caa266' -draw "rectangle 12,24 36,40" \
    -fill '#f2b33d' -draw "polygon 18,6 30,6 30,14 36,14 24,24 12,14 18,14" \
    -resize ${size}x${size} PNG32:"$out/icon$size.png"
done
"$CONVERT" "$out/icon48.png" "$out/icon32.png" "$out/icon16.png" "$out/novaro.ico"

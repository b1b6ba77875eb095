#!/usr/bin/env bash
# make_art.sh <out-dir>
# Draws the splash picture (500 x 174, 24-bit BMP) and the program icon
# (48 x 48 with 32 and 16 beside it) from shapes only, so the build needs no
# fonts. ImageMagick 6 ("convert").
set -euo pipefail
out=$1
mkdir -p "$out"
CONVERT=${CONVERT:-convert}

# A gear of `teeth` teeth centred at cx,cy: outer radius ro, root radius ri.
gear() {
  local cx=$1 cy=$2 ro=$3 ri=$4 teeth=$5
  awk -v cx="$cx" -v cy="$cy" -v ro="$ro" -v ri="$ri" -v n="$teeth" 'BEGIN {
    pi = atan2(0, -1); s = "polygon";
    for (i = 0; i < n; i++) {
      a = 2 * pi * i / n; w = pi / n;
      split(a - w * 0.55 " " a - w * 0.35 " " a + w * 0.35 " " a + w * 0.55, t, " ");
      r[1] = ri; r[2] = ro; r[3] = ro; r[4] = ri;
      for (k = 1; k <= 4; k++) s = s sprintf(" %.1f,%.1f", cx + r[k] * cos(t[k]), cy + r[k] * sin(t[k]));
      a2 = a + w; s = s sprintf(" %.1f,%.1f", cx + ri * cos(a2), cy + ri * sin(a2));
    }
    print s }'
}

# Splash: a dusk-blue road scene with a gear and a wrench; the lower band is
# light so the labels sit on a quiet ground.
"$CONVERT" -size 500x174 gradient:'#16324f-#2c7a9b' \
  -fill '#1d4363' -draw "polygon 0,120 140,70 260,95 380,55 500,85 500,174 0,174" \
  -fill '#e8eef3' -draw "rectangle 0,122 500,174" \
  -fill '#c9d4dd' -draw "rectangle 0,122 500,124" \
  -fill '#f2b33d' -draw "$(gear 395 62 46 36 12)" \
  -fill '#1b3a57' -draw "circle 395,62 395,80" \
  -fill '#f2b33d' -draw "circle 395,62 395,70" \
  -fill '#dfe6ec' -draw "polygon 250,96 318,28 332,42 264,110" \
  -fill '#dfe6ec' -draw "circle 325,35 325,53" \
  -fill '#2c7a9b' -draw "polygon 325,35 345,15 352,22 332,42" \
  -fill '#dfe6ec' -draw "circle 257,103 257,113" \
  -fill '#ffffff' -draw "rectangle 30,40 150,46" \
  -fill '#ffffff' -draw "rectangle 30,56 110,60" \
  -fill '#9fc3d6' -draw "rectangle 30,68 130,71" \
  -type TrueColor BMP3:"$out/splash.bmp"

# Icon: the gear on a rounded blue tile.
for size in 48 32 16; do
  "$CONVERT" -size 48x48 xc:none \
    -fill '#1d4f73' -draw "roundrectangle 1,1 46,46 9,9" \
    -fill '#f2b33d' -draw "$(gear 24 24 19 14 10)" \
    -fill '#1d4f73' -draw "circle 24,24 24,31" \
    -resize ${size}x${size} PNG32:"$out/icon$size.png"
done
"$CONVERT" "$out/icon48.png" "$out/icon32.png" "$out/icon16.png" "$out/orvane.ico"

#!/usr/bin/env bash
# Measures KX file sizes against PNG and gzip -6 of the raw pixels, on a
# photograph and a smooth artwork from Debian's wallpaper package and on a
# flat-art poster generated here. Prints a Markdown table.
#
# Usage: tools/kxconv/measure-sizes.sh [KXCONV]
#   KXCONV defaults to build/release/tools/kxconv (an optimised build keeps
#   the timings meaningful).
# Needs: apt-get install mate-backgrounds libjpeg-turbo-progs
set -euo pipefail

kxconv=${1:-build/release/tools/kxconv}
wallpapers=/usr/share/backgrounds/mate
levels=(1 3 6 9)

[ -x "$kxconv" ] || { echo "no kxconv at $kxconv; build it or pass its path" >&2; exit 2; }
for need in "$wallpapers/nature/Garden.jpg" "$wallpapers/desktop/Ubuntu-Mate-Cold-no-logo.png"; do
  [ -f "$need" ] || { echo "missing $need: apt-get install mate-backgrounds" >&2; exit 2; }
done
command -v djpeg >/dev/null || { echo "missing djpeg: apt-get install libjpeg-turbo-progs" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The photograph, decoded from its JPEG to raw pixels.
djpeg -ppm "$wallpapers/nature/Garden.jpg" >"$work/photograph.ppm"
cp "$wallpapers/desktop/Ubuntu-Mate-Cold-no-logo.png" "$work/smooth-art.png"
# Flat art: flat-coloured shapes, stripes, tiles and a block of "text" on a
# plain ground, 1600 x 1000, no antialiasing.
LC_ALL=C awk 'BEGIN {
  w = 1600; h = 1000
  printf "P6\n%d %d\n255\n", w, h
  for (y = 0; y < h; y++) for (x = 0; x < w; x++) {
    r = 238; g = 232; b = 213
    if (y > 760) { r = 88; g = 110; b = 117 }
    if ((x + y) % 160 < 40 && y < 200) { r = 203; g = 75; b = 22 }
    d = (x - 480) * (x - 480) + (y - 470) * (y - 470)
    if (d < 220 * 220) { r = 38; g = 139; b = 210 }
    if (d < 90 * 90) { r = 253; g = 246; b = 227 }
    if (x > 900 && x < 1400 && y > 300 && y < 700) { r = 133; g = 153; b = 0 }
    if (x > 960 && x < 1340 && y > 360 && y < 640 && int(y / 24) % 2 == 0 && x % 97 < 70) { r = 7; g = 54; b = 66 }
    if (y > 820 && y < 900 && x % 200 < 120) { r = 181; g = 137; b = 0 }
    printf "%c%c%c", r, g, b
  }
}' >"$work/flat-art.ppm"

size() { stat -c %s "$1"; }

printf '| picture | size | raw pixels | PNG (original) | PNG (libpng, default) | gzip -6 of raw |'
for l in "${levels[@]}"; do printf ' KX level %s |' "$l"; done
printf '\n|---|---|---|---|---|---|'
for _ in "${levels[@]}"; do printf -- '---|'; done
printf '\n'

for input in "$work/photograph.ppm" "$work/smooth-art.png" "$work/flat-art.ppm"; do
  name=$(basename "${input%.*}")
  # Raw pixels through kxconv itself: encode, then decode to PPM.
  "$kxconv" encode "$input" "$work/$name.kx"
  "$kxconv" decode "$work/$name.kx" "$work/$name.raw.ppm"
  "$kxconv" decode "$work/$name.kx" "$work/$name.resaved.png"
  read -r width height < <(head -c 64 "$work/$name.raw.ppm" | sed -n 2p)
  raw=$((width * height * 3))
  tail -c "$raw" "$work/$name.raw.ppm" >"$work/$name.raw"
  gz=$(gzip -6 -c "$work/$name.raw" | wc -c)
  original="-"
  [ "${input##*.}" = png ] && original=$(size "$input")
  printf '| %s | %d x %d | %d | %s | %d | %d |' "$name" "$width" "$height" "$raw" "$original" \
    "$(size "$work/$name.resaved.png")" "$gz"
  for l in "${levels[@]}"; do
    start=$(date +%s.%N)
    "$kxconv" encode --level "$l" "$input" "$work/$name.$l.kx"
    end=$(date +%s.%N)
    printf ' %d (%s s) |' "$(size "$work/$name.$l.kx")" "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')"
  done
  printf '\n'
done

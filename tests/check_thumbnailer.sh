#!/usr/bin/env bash
# gdk-pixbuf-thumbnailer, the program file managers run for thumbnails,
# makes one of a KX picture through the built loader: a PNG of the size
# asked for, red and blue where the picture has them (a swap of the colour
# bytes or a wrong row order shows).
#
#   check_thumbnailer.sh THUMBNAILER KXCONV LOADERS_CACHE MIME_DATA_DIR
set -euo pipefail
thumbnailer=$1
kxconv=$2
export GDK_PIXBUF_MODULE_FILE=$3 XDG_DATA_HOME=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 300 x 200: the left half red, the right half blue, the bottom row green.
LC_ALL=C awk 'BEGIN {
  w = 300; h = 200
  printf "P6\n%d %d\n255\n", w, h
  for (y = 0; y < h; y++) for (x = 0; x < w; x++) {
    if (y == h - 1) printf "%c%c%c", 0, 255, 0
    else if (x < w / 2) printf "%c%c%c", 255, 0, 0
    else printf "%c%c%c", 0, 0, 255
  }
}' >"$work/picture.ppm"
"$kxconv" encode "$work/picture.ppm" "$work/picture.kx"
"$thumbnailer" -s 128 "$work/picture.kx" "$work/thumb.png"

signature=$(od -An -tx1 -N8 "$work/thumb.png" | tr -d ' \n')
if [ "$signature" != 89504e470d0a1a0a ]; then
  echo "the thumbnail is no PNG file (starts $signature)"
  exit 1
fi
# Width and height: big-endian, 16 and 20 bytes into the file (IHDR).
read -r width height < <(od -An -tu1 -j16 -N8 "$work/thumb.png" |
  awk '{print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4, $5 * 16777216 + $6 * 65536 + $7 * 256 + $8}')
if [ "$width" != 128 ] || [ "$height" != 85 ]; then
  echo "the thumbnail is $width x $height, expected 128 x 85"
  exit 1
fi
# The pixels, through kxconv (PNG to KX to PPM, lossless): the top-left
# pixel red, the top-right one blue.
"$kxconv" encode "$work/thumb.png" "$work/thumb.kx"
"$kxconv" decode "$work/thumb.kx" "$work/thumb.ppm"
header_bytes=$(printf 'P6\n128 85\n255\n' | wc -c)
top_left=$(od -An -tx1 -j"$header_bytes" -N3 "$work/thumb.ppm" | tr -d ' \n')
top_right=$(od -An -tx1 -j$((header_bytes + 127 * 3)) -N3 "$work/thumb.ppm" | tr -d ' \n')
if [ "$top_left" != ff0000 ] || [ "$top_right" != 0000ff ]; then
  echo "top corners are $top_left and $top_right, expected ff0000 and 0000ff"
  exit 1
fi
echo "thumbnail: PNG, 128 x 85, red and blue where the picture has them"

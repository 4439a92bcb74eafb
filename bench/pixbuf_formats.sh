#!/usr/bin/env bash
# Opens two photographs through one gdk-pixbuf process as KX (the default
# level, and decode speed 6), JPEG and PNG, and runs GetPicture on them
# against the fresh-block floor (bench/pixbuf_formats_bench.cpp):
#
#   bench/pixbuf_formats.sh [ROUNDS]          (default 15)
#
# The photographs are Garden (2560 x 1600) and Elephants (5640 x 3172) of
# Debian's mate-backgrounds (KX_BENCH_PHOTOS overrides: JPEG files), decoded
# with djpeg; their JPEG files are written by cjpeg (libjpeg-turbo-progs),
# at quality 90 and with no options (quality 75), both 4:2:0, and the KX
# file by this build's `kxconv encode`. Both packages are for measuring
# only: apt-get install mate-backgrounds libjpeg-turbo-progs. Prints the
# load average before and after, since the figures mean little on a busy
# machine.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-15}

for tool in djpeg cjpeg; do
  command -v "$tool" >/dev/null || { echo "$tool missing: apt-get install libjpeg-turbo-progs" >&2; exit 1; }
done

cmake --preset release >/dev/null
cmake --build --preset release --target pixbuf_formats_bench kxconv

dir=build/release/pixbuf-formats
mkdir -p "$dir"
ppms=()
for jpeg in ${KX_BENCH_PHOTOS:-/usr/share/backgrounds/mate/nature/Garden.jpg /usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg}; do
  [ -f "$jpeg" ] || { echo "no photograph $jpeg: apt-get install mate-backgrounds" >&2; exit 1; }
  name=$dir/$(basename "${jpeg%.*}")
  djpeg -ppm "$jpeg" >"$name.ppm"
  cjpeg -quality 90 "$name.ppm" >"$name-q90.jpg"
  cjpeg "$name.ppm" >"$name-q75.jpg"
  build/release/tools/kxconv encode "$name.ppm" "$name.kx"
  build/release/tools/kxconv encode --decode-speed 6 "$name.ppm" "$name-s6.kx"
  ppms+=("$name.ppm")
done

echo "at $(git rev-parse --short HEAD); before: $(uptime)"
build/release/pixbuf_formats_bench --rounds "$rounds" "${ppms[@]}"
echo "after: $(uptime)"

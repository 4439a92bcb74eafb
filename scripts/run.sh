#!/usr/bin/env bash
# The main job: installs what is missing, builds kxfilter.spi and the tools,
# writes a picture generated here to KX with kxconv, and opens that file the
# way a Windows viewer does: spihost.exe loads the real kxfilter.spi under
# Wine. What the viewer would show is saved as BMP and as PNG.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
for preset in release win32; do
  echo "building $preset..."
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
done
kxconv=build/release/tools/kxconv
wine_host=(cmake/wine-run.sh --prefix "$PWD/build/win32/wineprefix" build/win32/tools/spihost.exe)

out=build/out
mkdir -p "$out"
# A 640 x 480 picture: gradients, flat shapes and a noisy band.
LC_ALL=C awk 'BEGIN {
  w = 640; h = 480; srand(7)
  printf "P6\n%d %d\n255\n", w, h
  for (y = 0; y < h; y++) for (x = 0; x < w; x++) {
    r = int(255 * x / w); g = int(255 * y / h); b = 128
    if ((x - 320) ^ 2 + (y - 240) ^ 2 < 120 ^ 2) { r = 250; g = 200; b = 40 }
    if (y > 400) { r = int(rand() * 256); g = r; b = 255 - r }
    printf "%c%c%c", r, g, b
  }
}' >"$out/sample.ppm"
"$kxconv" encode "$out/sample.ppm" "$out/sample.kx"
"$kxconv" info "$out/sample.kx"

echo "--- spihost.exe under Wine, loading build/win32/kxfilter.spi"
"${wine_host[@]}" build/win32/kxfilter.spi | tr -d '\r'
"${wine_host[@]}" build/win32/kxfilter.spi "$out/sample.kx" "$out/viewer.bmp" | tr -d '\r'

# The viewer's bitmap as PNG (kxconv reads BMP and writes PNG through a
# lossless KX round trip), and a check against the original pixels.
"$kxconv" encode "$out/viewer.bmp" "$out/viewer-roundtrip.kx"
"$kxconv" decode "$out/viewer-roundtrip.kx" "$out/viewer.png"
"$kxconv" decode "$out/viewer-roundtrip.kx" "$out/viewer.ppm"
if cmp -s "$out/viewer.ppm" "$out/sample.ppm"; then
  echo "the viewer shows the picture exactly as it was written"
else
  echo "the viewer's picture differs from the original" >&2
  exit 1
fi
echo "what the viewer would show: $out/viewer.bmp and $out/viewer.png"

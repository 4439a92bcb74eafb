#!/usr/bin/env bash
# The main job: installs what is missing, builds kxfilter.spi, kxfilter.sph
# and the tools, writes a picture generated here to KX with kxconv, and opens
# that file the way Windows viewers do: spihost.exe loads the real
# kxfilter.spi under 32-bit Wine, spihost64.exe the real kxfilter.sph under
# 64-bit Wine, each through the ANSI and the wide entry points. What the
# viewers would show is saved as BMP and as PNG.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
for preset in release win32 win64; do
  echo "building $preset..."
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
done
kxconv=build/release/tools/kxconv

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

# Each module, each form: the same texts and the same bitmap every time.
for preset in win32 win64; do
  module=build/$preset/kxfilter.spi spihost=spihost.exe
  [ "$preset" = win64 ] && module=build/$preset/kxfilter.sph spihost=spihost64.exe
  host=(cmake/wine-run.sh --prefix "$PWD/build/$preset/wineprefix" "build/$preset/tools/$spihost")
  for form in ansi wide; do
    option=()
    label=ANSI
    [ "$form" = wide ] && option=(--wide) label=wide
    echo "--- $label entry points of $module, in $spihost under ${preset#win}-bit Wine"
    "${host[@]}" "${option[@]}" "$module" | tr -d '\r'
    "${host[@]}" "${option[@]}" "$module" "$out/sample.kx" "$out/viewer-$preset-$form.bmp" | tr -d '\r'
    if [ "$preset-$form" != win32-ansi ] && ! cmp -s "$out/viewer-win32-ansi.bmp" "$out/viewer-$preset-$form.bmp"; then
      echo "the $preset module's $form form gave another bitmap" >&2
      exit 1
    fi
  done
done
cp "$out/viewer-win32-ansi.bmp" "$out/viewer.bmp"
echo "the four viewers (32-bit and 64-bit, ANSI and wide) got the same bitmap"

# The viewer's bitmap as PNG (kxconv reads BMP and writes PNG through a
# lossless KX round trip), and a check against the original pixels.
"$kxconv" encode "$out/viewer.bmp" "$out/viewer-roundtrip.kx"
"$kxconv" decode "$out/viewer-roundtrip.kx" "$out/viewer.png"
"$kxconv" decode "$out/viewer-roundtrip.kx" "$out/viewer.ppm"
if cmp -s "$out/viewer.ppm" "$out/sample.ppm"; then
  echo "the viewers show the picture exactly as it was written"
else
  echo "the viewer's picture differs from the original" >&2
  exit 1
fi
echo "what the viewer would show: $out/viewer.bmp and $out/viewer.png"

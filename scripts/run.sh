#!/usr/bin/env bash
# The main job: installs what is missing, builds kxfilter.spi and the tools,
# makes a sample KX picture, and opens it the way a Windows viewer does:
# spihost.exe loads the real kxfilter.spi under Wine and saves what the
# viewer would show.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
for preset in release win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
done

out=build/out
mkdir -p "$out"
build/release/tests/make_samples "$out"
picture=$out/gradient-333x129.kx
echo "sample picture: $picture"
echo "--- spihost.exe under Wine with build/win32/kxfilter.spi"
cmake/wine-run.sh --prefix "$PWD/build/win32/wineprefix" build/win32/tools/spihost.exe \
  build/win32/kxfilter.spi | tr -d '\r'
cmake/wine-run.sh --prefix "$PWD/build/win32/wineprefix" build/win32/tools/spihost.exe \
  build/win32/kxfilter.spi "$picture" "$out/viewer.bmp" | tr -d '\r'
echo "the viewer's bitmap: $out/viewer.bmp"

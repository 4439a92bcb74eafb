#!/usr/bin/env bash
# Times the three builds of the plug-in on the same pictures: the native
# libkxfilter.so, kxfilter.spi under 32-bit Wine and kxfilter.sph under
# 64-bit Wine. Builds the release, win32 and win64 presets, writes the
# benchmark pictures once (build/bench-pictures), runs plugin_timing of each
# build on them (memory mode, several runs in one process; best and median
# milliseconds, memcpy of the same bitmap in the same process), and prints a
# table with each Windows module's median against the native one's.
#
#   bench/plugin_timing.sh [RUNS]        # default 15 runs per picture
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
for preset in release win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 --target plugin_timing kxfilter >/dev/null
done
cmake --build --preset release -j 2 --target write_pictures >/dev/null

pictures=build/bench-pictures
if [ ! -f "$pictures/art.kx" ]; then
  mkdir -p "$pictures"
  build/release/write_pictures "$pictures"
fi
names=("$pictures/flat.kx" "$pictures/photo.kx" "$pictures/art.kx")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

build/release/plugin_timing --runs "$runs" build/release/libkxfilter.so "${names[@]}" >"$out/native"
for preset in win32 win64; do
  module=kxfilter.spi
  [ "$preset" = win64 ] && module=kxfilter.sph
  cmake/wine-run.sh --prefix "$PWD/build/$preset/wineprefix" "build/$preset/plugin_timing.exe" --runs "$runs" \
    "build/$preset/$module" "${names[@]}" | tr -d '\r' >"$out/$preset"
done

echo "GetPicture, memory mode, $runs runs per picture in one process: best / median ms (memcpy of the bitmap alike)"
printf '%-6s %-10s %17s %17s %17s %8s %8s %8s %10s\n' picture size native "Wine 32-bit" "Wine 64-bit" \
  "32/nat" "64/nat" "64/32" "same bits"
paste -d' ' "$out/native" "$out/win32" "$out/win64" | awk '{
  # Each build gave: name size getpicture best median memcpy best median fnv1a hash
  printf "%-6s %-10s %8.2f / %6.2f %8.2f / %6.2f %8.2f / %6.2f %8.2f %8.2f %8.2f %10s\n",
    $1, $2, $4, $5, $14, $15, $24, $25, $15 / $5, $25 / $5, $25 / $15,
    ($10 == $20 && $10 == $30) ? "yes" : "NO"
  printf "%-6s %-10s %8.2f / %6.2f %8.2f / %6.2f %8.2f / %6.2f\n", "", "memcpy", $7, $8, $17, $18, $27, $28
}'

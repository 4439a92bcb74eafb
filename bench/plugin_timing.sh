#!/usr/bin/env bash
# Times the three builds of the plug-in on the same pictures: the native
# libkxfilter.so, kxfilter.spi under 32-bit Wine and kxfilter.sph under
# 64-bit Wine. Builds the release, win32 and win64 presets, writes the
# benchmark pictures once (build/bench-pictures), runs plugin_timing of each
# build on them (memory mode, several runs in one process; best and median
# milliseconds, memcpy of the same bitmap in the same process), and prints a
# table with each Windows module's time against the native one's.
#
#   bench/plugin_timing.sh [ROUNDS [RUNS]]   # default 3 rounds of 15 runs per picture
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
runs=${2:-15}
for preset in release win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 --target plugin_timing kxfilter >/dev/null
done
cmake --build --preset release -j 2 --target write_pictures >/dev/null

pictures=build/bench-pictures
# Written again whenever the writer has been rebuilt since.
if [ ! -f "$pictures/art.kx" ] || [ build/release/write_pictures -nt "$pictures/art.kx" ]; then
  mkdir -p "$pictures"
  build/release/write_pictures "$pictures"
fi
names=("$pictures/flat.kx" "$pictures/photo.kx" "$pictures/art.kx")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# The builds take turns, round after round, so that a busy spell of the
# machine falls on all of them rather than on one.
run_build() {  # preset
  case "$1" in
    release) build/release/plugin_timing --runs "$runs" build/release/libkxfilter.so "${names[@]}" ;;
    win32) cmake/wine-run.sh --prefix "$PWD/build/win32/wineprefix" build/win32/plugin_timing.exe --runs "$runs" \
             build/win32/kxfilter.spi "${names[@]}" | tr -d '\r' ;;
    win64) cmake/wine-run.sh --prefix "$PWD/build/win64/wineprefix" build/win64/plugin_timing.exe --runs "$runs" \
             build/win64/kxfilter.sph "${names[@]}" | tr -d '\r' ;;
  esac
}
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$rounds"); do
  for preset in release win32 win64; do run_build "$preset" >>"$out/$preset"; done
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"

# Per build and picture: the best of all runs, the median of the rounds'
# medians; likewise for memcpy. Each line of a build:
#   name size getpicture best median memcpy best median fnv1a hash
summarise() {
  awk '{
    n = $1; size[n] = $2; rounds[n]++
    if (!(n in best) || $4 < best[n]) best[n] = $4
    if (!(n in copy_best) || $7 < copy_best[n]) copy_best[n] = $7
    med[n, rounds[n]] = $5; copy_med[n, rounds[n]] = $8
    if (n in hash && hash[n] != $10) hash[n] = "differs"; else hash[n] = $10
    if (!(n in order)) { order[n] = ++names; byorder[names] = n }
  }
  function median(a, n, r,    i, j, t, v) {
    for (i = 1; i <= r; i++) v[i] = a[n, i]
    for (i = 1; i <= r; i++) for (j = i + 1; j <= r; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return r % 2 ? v[(r + 1) / 2] : (v[r / 2] + v[r / 2 + 1]) / 2
  }
  END {
    for (k = 1; k <= names; k++) {
      n = byorder[k]
      print n, size[n], best[n], median(med, n, rounds[n]), copy_best[n], median(copy_med, n, rounds[n]), hash[n]
    }
  }' "$1"
}
for preset in release win32 win64; do summarise "$out/$preset" >"$out/$preset.summary"; done

echo "GetPicture, memory mode: $rounds rounds of $runs runs per picture, each build in one process per round;"
echo "best of all runs / median of the rounds' medians, in ms; memcpy of the same bitmap in the same process alike"
printf '%-6s %-10s %17s %17s %17s %7s %7s %7s %9s\n' picture "" native "Wine 32-bit" "Wine 64-bit" \
  "32/nat" "64/nat" "64/32" "same bits"
paste -d' ' "$out/release.summary" "$out/win32.summary" "$out/win64.summary" | awk '{
  # Each build: name size best median copy_best copy_median hash
  printf "%-6s %-10s %8.2f / %6.2f %8.2f / %6.2f %8.2f / %6.2f %7.2f %7.2f %7.2f %9s\n",
    $1, "GetPicture", $3, $4, $10, $11, $17, $18, $10 / $3, $17 / $3, $17 / $10,
    ($7 == $14 && $7 == $21 && $7 != "differs") ? "yes" : "NO"
  printf "%-6s %-10s %8.2f / %6.2f %8.2f / %6.2f %8.2f / %6.2f\n", "", "memcpy", $5, $6, $12, $13, $19, $20
}'
echo "(ratios: best against best)"

#!/usr/bin/env bash
# A whole picture through the WIC factory against the plug-in's GetPicture,
# on the benchmark pictures (bench/plugin_timing.sh writes them to
# build/bench-pictures), in the 32-bit and the 64-bit build under Wine:
# kxwic.dll registered in each build's prefix for the run, and the builds
# taking turns round after round.
#
#   wic/tests/wic_timing.sh [ROUNDS [RUNS]]   # default 3 rounds of 9 runs per picture
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
rounds=${1:-3}
runs=${2:-9}
pictures=build/bench-pictures
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 --target kxwic_timing >/dev/null
done
[ -f "$pictures/art.kx" ] || { echo "no benchmark pictures in $pictures: run bench/plugin_timing.sh once"; exit 1; }

wine_in() {  # preset, then the program and its arguments
  local preset=$1 loader=()
  shift
  [ "$preset" = win64 ] && loader=(--wine64)
  "$root/cmake/wine-run.sh" --prefix "$root/build/$preset/wineprefix" "${loader[@]}" "$@" | tr -d '\r'
}
for preset in win32 win64; do wine_in "$preset" regsvr32 /s "Z:$root/build/$preset/kxwic.dll"; done
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
out=$(mktemp)
trap 'rm -f "$out"; for preset in win32 win64; do wine_in "$preset" regsvr32 /u /s "Z:$root/build/$preset/kxwic.dll"; done' EXIT
for round in $(seq "$rounds"); do
  for preset in win32 win64; do
    (cd "build/$preset" && wine_in "$preset" ./kxwic_timing.exe --runs "$runs" \
       "Z:$root/$pictures/flat.kx" "Z:$root/$pictures/photo.kx" "Z:$root/$pictures/art.kx") |
      sed "s/^/$preset round $round: /" | tee -a "$out"
  done
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
# Per build, picture and source: the median over the rounds of the ratio of
# the medians (the last field).
echo "wic/getpicture, median of the rounds' ratios of medians:"
awk '{ key = $1 " " $4 " " $6; n[key]++; r[key, n[key]] = $NF; if (!(key in seen)) { seen[key] = 1; order[++k] = key } }
  END {
    for (i = 1; i <= k; i++) {
      key = order[i]; m = n[key]
      for (a = 1; a <= m; a++) v[a] = r[key, a]
      for (a = 1; a <= m; a++) for (b = a + 1; b <= m; b++) if (v[b] < v[a]) { t = v[a]; v[a] = v[b]; v[b] = t }
      printf "  %-24s %.3f\n", key, m % 2 ? v[(m + 1) / 2] : (v[m / 2] + v[m / 2 + 1]) / 2
    }
  }' "$out"

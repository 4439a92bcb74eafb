#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks: decode_bench (the
# plug-in's decoding) and encode_bench (the writer at every level against
# LZ4, zstd and zlib). Each prints a summary at the end. Extra arguments go
# to both benchmarks (for example --benchmark_filter=photo); KX_BENCH=decode
# or KX_BENCH=encode runs one of them.
#
# encode_bench also times real photographs: the JPEG files in
# KX_BENCH_PHOTOS (default: Garden.jpg of Debian's mate-backgrounds, when
# it is installed), decoded with djpeg (libjpeg-turbo-progs), and times the
# threads on the large photograph KX_BENCH_LARGE (default: the 5640 x 3172
# Elephants of the same package). Neither package is installed here: they
# are for measuring only.
#
# Needs Google Benchmark, LZ4, zstd and zlib (Debian: libbenchmark-dev,
# liblz4-dev, libzstd-dev, zlib1g-dev); installs them with apt-get when run
# as root and they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for package in libbenchmark-dev liblz4-dev libzstd-dev zlib1g-dev; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
  fi
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake --preset release
cmake --build --preset release

which=${KX_BENCH:-all}

if [ "$which" = all ] || [ "$which" = decode ]; then
  # Five repetitions; the summary uses the median of each (the machine this
  # was written on is shared, and single runs varied by 10% or more).
  build/release/decode_bench --benchmark_repetitions=5 --benchmark_display_aggregates_only=true "$@"
fi

if [ "$which" = all ] || [ "$which" = encode ]; then
  photos=()
  for jpeg in ${KX_BENCH_PHOTOS:-/usr/share/backgrounds/mate/nature/Garden.jpg}; do
    if [ -f "$jpeg" ] && command -v djpeg >/dev/null; then
      ppm=build/release/bench-$(basename "${jpeg%.*}").ppm
      djpeg -ppm "$jpeg" >"$ppm"
      photos+=("--photo=$ppm")
    else
      echo "no photograph: $jpeg or djpeg missing (apt-get install mate-backgrounds libjpeg-turbo-progs)" >&2
    fi
  done
  large=${KX_BENCH_LARGE:-/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg}
  if [ -f "$large" ] && command -v djpeg >/dev/null; then
    djpeg -ppm "$large" >build/release/bench-large.ppm
    photos+=("--large=build/release/bench-large.ppm")
  fi
  # Three repetitions: level 9 and zstd -19 take seconds per picture.
  # Repetitions interleaved at random, so that a busy spell on the machine
  # does not fall on one compressor alone.
  build/release/encode_bench --benchmark_repetitions=3 --benchmark_display_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    "${photos[@]}" "$@"
fi

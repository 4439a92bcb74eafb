#!/usr/bin/env bash
# Builds the release preset and runs the decoding benchmarks. At the end the
# benchmark prints its summary: times per picture, the time per token and
# the ratios the decoder is judged by. Extra arguments go to the benchmark
# (for example --benchmark_filter=photo).
#
# Needs Google Benchmark and LZ4 (Debian: libbenchmark-dev, liblz4-dev);
# installs them with apt-get when run as root and they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for package in libbenchmark-dev liblz4-dev; do
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

# Five repetitions; the summary uses the median of each (the machine this
# was written on is shared, and single runs varied by 10% or more).
build/release/decode_bench --benchmark_repetitions=5 --benchmark_display_aggregates_only=true "$@"

#!/usr/bin/env bash
# The Windows kxconv.exe under Wine against the native kxconv on the same
# files, named in Japanese and Greek: the same KX bytes from the same 8-bit
# PPM, BMP and PNG inputs at two levels, and the same pixels out in each
# format (BMP and PPM byte for byte; PNG, whose encoders differ, through the
# native reader).
#
#   check_kxconv_wine.sh NATIVE_KXCONV KXCONV_EXE WINEPREFIX DATA_DIR
set -uo pipefail
native=$(realpath "$1")
exe=$(realpath "$2")
prefix=$(realpath -m "$3")
data=$(realpath "$4")
run_wine="$(cd "$(dirname "$0")/.." && pwd)/cmake/wine-run.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
wine_kxconv() { "$run_wine" --prefix "$prefix" "$exe" "$@"; }

# Inputs: each sample picture as PPM, BMP and PNG, under names in two scripts.
mkdir 入力 kx-native kx-wine
count=0
for kx in "$data"/*.kx; do
  stem=$(basename "$kx" .kx)
  for format in ppm bmp png; do
    "$native" decode "$kx" "入力/写真-εικόνα-$stem.$format" 2>/dev/null || fail "native decode of $stem to $format"
    count=$((count + 1))
  done
done
echo "inputs: $count"

# Encoding: one batch per input format and level, the same files.
for format in ppm bmp png; do
  for level in 1 6; do
    rm -f kx-native/* kx-wine/*
    "$native" encode -o kx-native --level "$level" 入力/*."$format" || fail "native encode of $format at level $level"
    wine_kxconv encode -o kx-wine --level "$level" 入力/*."$format" || fail "kxconv.exe encode of $format at level $level"
    compared=0
    for made in kx-native/*.kx; do
      name=$(basename "$made")
      if ! cmp -s "$made" "kx-wine/$name"; then
        fail "$format at level $level: $name differs"
      fi
      compared=$((compared + 1))
    done
    [ "$compared" -eq "$((count / 3))" ] || fail "$format at level $level: $compared KX files, want $((count / 3))"
    made_by_wine=$(find kx-wine -type f | wc -l)
    [ "$made_by_wine" -eq "$compared" ] || fail "$format at level $level: kxconv.exe left $made_by_wine files"
    echo "$format at level $level: $compared KX files compared"
  done
done

# Decoding: every KX file to every format, named in both scripts.
mkdir κείμενα-kx
for kx in "$data"/*.kx; do cp "$kx" "κείμενα-kx/画像-$(basename "$kx")"; done
for format in ppm bmp png; do
  mkdir "native-$format" "wine-$format"
  "$native" decode -o "native-$format" --format "$format" κείμενα-kx/*.kx 2>/dev/null || fail "native decode to $format"
  wine_kxconv decode -o "wine-$format" --format "$format" κείμενα-kx/*.kx 2>/dev/null || fail "kxconv.exe decode to $format"
  for made in "native-$format"/*; do
    name=$(basename "$made")
    if [ "$format" = png ]; then
      # Both PNGs read by the native reader must give the same KX file.
      "$native" encode --level 1 "$made" "$made.kx" && "$native" encode --level 1 "wine-$format/$name" "$made.wine.kx" &&
        cmp -s "$made.kx" "$made.wine.kx" || fail "$name: other pixels"
    elif ! cmp -s "$made" "wine-$format/$name"; then
      fail "$name differs"
    fi
  done
  echo "$format: $(ls "native-$format" | grep -vc '\.kx$') pictures compared"
done

# The round trip on one name: KX to PNG and back with kxconv.exe alone.
wine_kxconv decode "κείμενα-kx/画像-gradient-333x129.kx" "往復-ελληνικά.png" || fail "round trip decode"
wine_kxconv encode "往復-ελληνικά.png" "往復-ελληνικά.kx" || fail "round trip encode"
"$native" decode "往復-ελληνικά.kx" round.bmp && "$native" decode "$data/gradient-333x129.kx" want.bmp &&
  cmp -s round.bmp want.bmp || fail "round trip: other pixels"

echo "failures: $failures"
[ "$failures" -eq 0 ]

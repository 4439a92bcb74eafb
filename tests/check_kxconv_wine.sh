#!/usr/bin/env bash
# The Windows kxconv.exe under Wine against the native kxconv on the same
# files, named in Japanese and Greek: the same KX bytes from the same 8-bit
# PPM, BMP and PNG inputs at two levels, and the same pixels out in each
# format (BMP and PPM byte for byte; PNG, whose encoders differ, through the
# native reader); the TIFF, GIF and JPEG inputs only the Windows build
# reads (tests/write_tiff_gif.py, cjpeg); and 16-bit PNG and TIFF inputs,
# rounded to 8 bits alike (tests/write_sixteen_bit.py).
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
wine_kxconv() { "$run_wine" --prefix "$prefix" --no-input "$exe" "$@"; }

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

# Formats only the Windows build reads, through WIC: TIFF and GIF holding
# exactly the pixels of a PPM, and a JPEG of flat 16 x 16 blocks, which any
# decoder gives back within a step or two of each colour.
mkdir 他の形式
python3 "$(dirname "$run_wine")/../tests/write_tiff_gif.py" 他の形式 || fail "writing the TIFF and GIF"
"$native" encode 他の形式/picture.ppm 他の形式/want.kx || fail "native encode of the PPM"
for format in tif gif; do
  cp "他の形式/picture.$format" "他の形式/εικόνα.$format"
  wine_kxconv encode "他の形式/εικόνα.$format" "他の形式/$format.kx" || fail "kxconv.exe encode of the $format"
  cmp -s 他の形式/want.kx "他の形式/$format.kx" || fail "the $format gives other pixels than the same picture as PPM"
done
python3 - 他の形式/blocks.ppm <<'PYTHON'
import sys
width, height = 64, 48
rows = bytearray()
for y in range(height):
    for x in range(width):
        block = (x // 16) + 4 * (y // 16)
        rows += bytes(((block * 37) % 256, (block * 91 + 40) % 256, (block * 53 + 120) % 256))
open(sys.argv[1], "wb").write(b"P6\n%d %d\n255\n" % (width, height) + rows)
PYTHON
cjpeg -quality 100 -sample 1x1 -outfile 他の形式/写真.jpg 他の形式/blocks.ppm || fail "cjpeg"
wine_kxconv encode 他の形式/写真.jpg 他の形式/jpeg.kx || fail "kxconv.exe encode of the JPEG"
"$native" decode 他の形式/jpeg.kx 他の形式/jpeg.ppm || fail "native decode of the JPEG's KX file"
python3 - 他の形式/blocks.ppm 他の形式/jpeg.ppm <<'PYTHON' || fail "the JPEG's pixels are not the blocks'"
import sys
want, got = (open(name, "rb").read()[-64 * 48 * 3:] for name in sys.argv[1:3])
worst = max(abs(a - b) for a, b in zip(want, got))
print("jpeg: largest difference from the blocks %d" % worst)
sys.exit(0 if len(got) == len(want) and worst <= 2 else 1)
PYTHON
echo "tif, gif, jpeg: read through WIC"

# 16-bit samples: both converters round them to 8 bits as libpng scales
# them, to the same KX bytes as the rounded picture given as a PPM (keeping
# the high byte alone changes about half of them).
mkdir 十六ビット
python3 "$(dirname "$run_wine")/../tests/write_sixteen_bit.py" 十六ビット || fail "writing the 16-bit pictures"
for picture in rgb16.png grey16.png rgb16-tif.tif; do
  stem=${picture%.*}
  "$native" encode "十六ビット/$stem.ppm" "十六ビット/$stem-want.kx" || fail "native encode of the rounded $stem"
  wine_kxconv encode "十六ビット/$picture" "十六ビット/$stem-wine.kx" || fail "kxconv.exe encode of $picture"
  cmp -s "十六ビット/$stem-want.kx" "十六ビット/$stem-wine.kx" || fail "kxconv.exe: $picture not rounded to 8 bits"
  if [ "${picture##*.}" = png ]; then
    "$native" encode "十六ビット/$picture" "十六ビット/$stem-native.kx" || fail "native encode of $picture"
    cmp -s "十六ビット/$stem-want.kx" "十六ビット/$stem-native.kx" || fail "kxconv: $picture not rounded to 8 bits"
  fi
done
echo "16-bit RGB PNG, grey PNG, RGB TIFF: rounded alike"

echo "failures: $failures"
[ "$failures" -eq 0 ]

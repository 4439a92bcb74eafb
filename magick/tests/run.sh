#!/usr/bin/env bash
# ImageMagick 6, GraphicsMagick and libvips reading and writing KX through
# kxconv, with the configuration the project's install command writes
# (installed into a prefix of its own), under a private HOME:
#   - read: every golden file through convert, identify (the size), gm
#     convert, gm identify and vips magickload, and through convert again
#     without an extension (ImageMagick recognises the content), each pixel
#     for pixel what `kxconv decode` gives;
#   - write: PNG pictures of every layout (tests/png_cases.py, 16-bit ones
#     among them) and the golden pictures through convert, mogrify, gm
#     convert and vips magicksave, each byte for byte the file `kxconv
#     encode` writes from the same PNG;
#   - failures: a file the readers refuse and a picture over 8192 on a side
#     exit non-zero, leave no file, and kxconv's message names the user's
#     file; a file name holding shell syntax is taken as a name;
#   - ImageMagick from the user's own folder (~/.config/ImageMagick).
#
# usage: magick/tests/run.sh [BUILD_DIR]   (default build/release)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/release}" && pwd)
python=/usr/bin/python3  # Debian's, with Pillow
for tool in convert-im6.q16 identify-im6.q16 mogrify-im6.q16 gm vips; do
  command -v $tool >/dev/null || { echo "magick: $tool missing (apt-get install imagemagick graphicsmagick libvips-tools)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-magick.XXXXXX")
trap '[ -n "${KX_KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/in" "$work/out" "$work/ref" "$work/png"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
umask 022
cmake --install "$build" --component magick --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
kxconv=$work/prefix/bin/kxconv
im_dir=$work/prefix/share/ImageMagick-6
gm_dir=$(dirname "$(find "$work/prefix/share" -name delegates.mgk)")
[ -f "$im_dir/delegates.xml" ] && [ -f "$im_dir/magic.xml" ] && [ -f "$gm_dir/delegates.mgk" ] ||
  { echo "magick: FAIL: the install wrote no delegates.xml, magic.xml or delegates.mgk"; find "$work/prefix"; exit 1; }
# Both read MAGICK_CONFIGURE_PATH: ImageMagick its .xml files, GraphicsMagick its .mgk.
export MAGICK_CONFIGURE_PATH=$im_dir:$gm_dir
tr -s ' \n' ' ' <"$work/install.log" | grep -qF "found when MAGICK_CONFIGURE_PATH names $im_dir:$gm_dir" ||
  { echo "magick: FAIL: an install outside /usr does not say how the files are found"; exit 1; }

failures=0
fail() {
  echo "magick: FAIL: $*"
  failures=$((failures + 1))
}
# GraphicsMagick reads the first delegates.mgk only: the system's delegates
# must still be there beside KX's (the installed file includes them).
# (One line a delegate, with its arrow; long commands wrap.)
system_delegates=$(env -u MAGICK_CONFIGURE_PATH gm convert -list delegates | grep -E '=>|<=')
[ -n "$system_delegates" ] && [ "$(gm convert -list delegates | grep -E '=>|<=' | grep -v kxconv)" = "$system_delegates" ] ||
  fail "gm: the system's delegates are not all read beside KX's"
pairs=()  # PNG written by a converter, PNG kxconv wrote

# Read.
names=()
for kx in tests/data/decode/*.kx; do
  name=$(basename "$kx" .kx)
  names+=("$name")
  cp "$kx" "$work/in/$name.kx"
  cp "$kx" "$work/in/$name"
  "$kxconv" decode "$kx" "$work/ref/$name.png" 2>/dev/null || fail "kxconv decode $kx"
  convert-im6.q16 "$work/in/$name.kx" "$work/out/$name.im.png" 2>/dev/null || fail "convert $name.kx"
  convert-im6.q16 "$work/in/$name" "$work/out/$name.im-noext.png" 2>/dev/null || fail "convert $name (no extension)"
  gm convert "$work/in/$name.kx" "$work/out/$name.gm.png" 2>/dev/null || fail "gm convert $name.kx"
  vips magickload "$work/in/$name.kx" "$work/out/$name.vips.png" 2>/dev/null || fail "vips magickload $name.kx"
  for tool in im im-noext gm vips; do pairs+=("$work/out/$name.$tool.png" "$work/ref/$name.png"); done
  size=${name##*-}
  got=$(identify-im6.q16 -format '%wx%h' "$work/in/$name.kx" 2>/dev/null)
  [ "$got" = "$size" ] || fail "identify $name.kx: '$got', not $size"
  got=$(gm identify -format '%wx%h' "$work/in/$name.kx" 2>/dev/null)
  [ "$got" = "$size" ] || fail "gm identify $name.kx: '$got', not $size"
done

# Write.
$python tests/png_cases.py "$work/png" >/dev/null || exit 1
for name in "${names[@]}"; do cp "$work/ref/$name.png" "$work/png/golden-$name.png"; done
written=0
exact=0
check_kx() {  # written file, reference, what wrote it
  written=$((written + 1))
  if cmp -s "$1" "$2"; then exact=$((exact + 1)); else fail "$3: not the file kxconv writes"; fi
}
mkdir -p "$work/mogrify"
for png in "$work/png"/*.png; do
  name=$(basename "$png" .png)
  "$kxconv" encode "$png" "$work/ref/$name.kx" || fail "kxconv encode $png"
  convert-im6.q16 "$png" "$work/out/$name.im.kx" || fail "convert $name.png"
  check_kx "$work/out/$name.im.kx" "$work/ref/$name.kx" "convert $name.png"
  gm convert "$png" "$work/out/$name.gm.kx" || fail "gm convert $name.png"
  check_kx "$work/out/$name.gm.kx" "$work/ref/$name.kx" "gm convert $name.png"
  vips magicksave "$png" "$work/out/$name.vips.kx" --format KX || fail "vips magicksave $name.png"
  check_kx "$work/out/$name.vips.kx" "$work/ref/$name.kx" "vips magicksave $name.png"
  cp "$png" "$work/mogrify/"
done
(cd "$work/mogrify" && mogrify-im6.q16 -format kx ./*.png) || fail "mogrify -format kx"
for png in "$work/png"/*.png; do
  name=$(basename "$png" .png)
  check_kx "$work/mogrify/$name.kx" "$work/ref/$name.kx" "mogrify $name.png"
done
# Through the user's own folder instead of MAGICK_CONFIGURE_PATH.
mkdir -p "$HOME/.config/ImageMagick"
cp "$im_dir/delegates.xml" "$im_dir/magic.xml" "$HOME/.config/ImageMagick/"
MAGICK_CONFIGURE_PATH= convert-im6.q16 "$work/in/gradient-333x129" "$work/out/user.png" || fail "convert from ~/.config/ImageMagick"
pairs+=("$work/out/user.png" "$work/ref/gradient-333x129.png")
MAGICK_CONFIGURE_PATH= convert-im6.q16 "$work/png/rgb16.png" "$work/out/user.kx" || fail "convert to KX from ~/.config/ImageMagick"
check_kx "$work/out/user.kx" "$work/ref/rgb16.kx" "convert to KX with ~/.config/ImageMagick"


# Failures: non-zero, no file, the user's file named.
"$kxconv" encode --no-delta "$work/png/rgb8.png" "$work/in/no-delta.kx"
$python -c "
import struct, sys, zlib
raw = b''.join(b'\0' + bytes(3 * 9000) for _ in range(2))
c = lambda k, d: struct.pack('>I', len(d)) + k + d + struct.pack('>I', zlib.crc32(k + d))
open(sys.argv[1], 'wb').write(b'\x89PNG\r\n\x1a\n' + c(b'IHDR', struct.pack('>IIBBBBB', 9000, 2, 8, 2, 0, 0, 0)) +
                              c(b'IDAT', zlib.compress(raw)) + c(b'IEND', b''))" "$work/in/wide.png"
refuse() {  # label, expected output, message, command...
  local label=$1 out=$2 message=$3
  shift 3
  if "$@" 2>"$work/err" && [ "$label" != "vips magicksave wide.png" ]; then
    fail "$label: exit status 0"
  fi
  [ ! -e "$out" ] || fail "$label: left $out"
  grep -qF "kxconv: $message" "$work/err" || fail "$label: no message 'kxconv: $message': $(head -3 "$work/err")"
}
cd "$work/in"
refuse "convert no-delta.kx" "$work/out/no-delta.png" "no-delta.kx: not recognised as a KX picture" \
  convert-im6.q16 no-delta.kx "$work/out/no-delta.png"
refuse "gm convert no-delta.kx" "$work/out/no-delta.png" "no-delta.kx: not recognised as a KX picture" \
  gm convert no-delta.kx "$work/out/no-delta.png"
refuse "convert wide.png" "$work/out/wide.kx" "wide.png: 9000 x 2 pixels, more than 8192 on a side" \
  convert-im6.q16 wide.png "$work/out/wide.kx"
refuse "gm convert wide.png" "$work/out/wide.kx" "wide.png: 9000 x 2 pixels, more than 8192 on a side" \
  gm convert wide.png "$work/out/wide.kx"
# libvips 8.14 does not look at ImageMagick's answer when it saves: it exits
# 0 although nothing was written (docs/editors.md).
refuse "vips magicksave wide.png" "$work/out/wide.kx" "KX:$work/out/wide.kx: 9000 x 2 pixels, more than 8192 on a side" \
  vips magicksave wide.png "$work/out/wide.kx" --format KX
# A name that a shell would run: converted as a name, nothing run.
odd='odd $(touch ran) `touch ran2` "q.kx'
cp "$work/in/tokens-7x10.kx" "$odd"
convert-im6.q16 "$odd" "$work/out/odd.im.png" || fail "convert of a name with shell syntax"
gm convert "$odd" "$work/out/odd.gm.png" || fail "gm convert of a name with shell syntax"
[ ! -e ran ] && [ ! -e ran2 ] || fail "a file name's shell syntax was run"
pairs+=("$work/out/odd.im.png" "$work/ref/tokens-7x10.png" "$work/out/odd.gm.png" "$work/ref/tokens-7x10.png")
cd - >/dev/null
# ImageMagick moves a delegate's output from its temporary folder by
# renaming, and loses it on another file system while exiting 0: the
# delegate refuses such an output, and with a temporary folder there it is
# written. Needs /dev/shm on another file system than the work folder.
shm=$(mktemp -d /dev/shm/kx-magick.XXXXXX 2>/dev/null) && trap '[ -n "${KX_KEEP:-}" ] || rm -rf "$work" "$shm"' EXIT
if [ -n "$shm" ] && [ "$(stat -c %d "$work")" != "$(stat -c %d "$shm")" ]; then
  refuse "convert to another file system" "$shm/elsewhere.kx" "$work/png/rgb8.png: not written: " \
    convert-im6.q16 "$work/png/rgb8.png" "$shm/elsewhere.kx"
  MAGICK_TEMPORARY_PATH=$shm convert-im6.q16 "$work/png/rgb8.png" "$shm/elsewhere.kx" ||
    fail "convert to another file system with MAGICK_TEMPORARY_PATH there"
  check_kx "$shm/elsewhere.kx" "$work/ref/rgb8.kx" "convert to another file system with MAGICK_TEMPORARY_PATH there"
else
  echo "magick: /dev/shm is on the work folder's file system: the move to another one is not tried"
fi
# GraphicsMagick hands over the file kxconv wrote: the usual permissions.
[ "$(stat -c %a "$work/out/rgb8.gm.kx")" = 644 ] || fail "gm convert wrote mode $(stat -c %a "$work/out/rgb8.gm.kx") under umask 022"

$python - "${pairs[@]}" <<'EOF' || failures=$((failures + 1))
import sys
from PIL import Image
args = sys.argv[1:]
bad = 0
for got, want in zip(args[0::2], args[1::2]):
    try:
        g, w = Image.open(got).convert("RGB"), Image.open(want)
        if g.size != w.size or g.tobytes() != w.tobytes():
            print(f"magick: FAIL: {got}: not the pixels kxconv decodes")
            bad += 1
    except OSError as e:
        print(f"magick: FAIL: {got}: {e}")
        bad += 1
print(f"magick: read: {len(args) // 2 - bad} of {len(args) // 2} pictures exact")
sys.exit(1 if bad else 0)
EOF
echo "magick: write: $exact of $written files the same as kxconv's"
if [ "$failures" -ne 0 ]; then
  echo "magick: $failures failures"
  exit 1
fi
echo "magick: all passed"

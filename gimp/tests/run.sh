#!/usr/bin/env bash
# The GIMP plug-in in the real program: one gimp-console batch, under a
# private HOME and GIMP folder, with the build's plug-in added to GIMP's
# plug-in path, against the library (through kxconv) on the golden and
# damaged files:
#   - load: every golden file under its name, without an extension and
#     named .png, through gimp-file-load (GIMP picks the loader by content),
#     saved as PNG, pixel for pixel what `kxconv decode` gives; the files
#     whose stream ends early give GIMP a message with the pixel where it
#     ended, the same as `kxconv info` says, and the others none;
#   - refused: every damaged file through file-kx-load, one line naming the
#     file and the reason, no image;
#   - export: PNG pictures of every layout (tests/png_cases.py) and the
#     golden pictures loaded by GIMP and exported through file-kx-save at
#     levels 1 to 9, and through gimp-file-save by the name, byte for byte
#     the file `kxconv encode` writes from the same PNG;
#   - over 8192 on a side: refused with its message, the file already there
#     left as it was, no temporary file left;
#   - the thumbnail procedure: the size GIMP is told, the scaled size, and
#     no message for a damaged file.
# gimp-console exits 0 whatever a batch command does, so every outcome is
# read from the files and the messages, never from the exit status.
#
# usage: gimp/tests/run.sh [BUILD_DIR]   (default build/release)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/release}" && pwd)
kxconv=$build/tools/kxconv
python=/usr/bin/python3  # Debian's, with Pillow
for need in "$kxconv" "$build/gimp/plug-ins/file-kx/file-kx"; do
  [ -x "$need" ] || { echo "gimp: $need missing (build the release preset with libgimp2.0-dev)" >&2; exit 1; }
done
command -v gimp-console >/dev/null || { echo "gimp: gimp-console missing (apt-get install gimp)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-gimp.XXXXXX")
trap '[ -n "${KX_KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/in" "$work/out" "$work/ref" "$work/png"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
export XDG_DATA_HOME=$work/home/.local/share GIMP2_DIRECTORY=$work/gimpdir
# The plug-in as the project's install command puts it under a prefix (the
# same folder under GIMP's own prefix is where GIMP looks), added to GIMP's
# plug-in path after GIMP's own plug-ins (PNG among them).
cmake --install "$build" --component gimp --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
installed=$work/prefix/$(pkg-config --variable=gimplibdir gimp-2.0 | sed "s|^$(pkg-config --variable=prefix gimp-2.0)/||")/plug-ins
[ -x "$installed/file-kx/file-kx" ] || { echo "gimp: FAIL: the install put no file-kx/file-kx in $installed"; exit 1; }
grep -q "copy the folder file-kx into ~/.config/GIMP/2.10/plug-ins" "$work/install.log" ||
  { echo "gimp: FAIL: an install outside GIMP's prefix does not say where GIMP looks"; exit 1; }
printf '(plug-in-path "${gimp_dir}/plug-ins:${gimp_plug_in_dir}/plug-ins:%s")\n' "$installed" >"$work/gimprc"

failures=0
fail() {
  echo "gimp: FAIL: $*"
  failures=$((failures + 1))
}
q() { printf '"%s"' "$1"; }  # a Script-Fu string (the paths hold no quotes)

# Every batch command is evaluated by a Script-Fu process of its own, which
# starts in about half a second: the whole test is one command, each case
# in `try`, which says on GIMP's console whether it failed.
defs='(define (try label thunk)
  (catch (gimp-message (string-append "failed: " label))
    (thunk)
    (gimp-message (string-append "ok: " label))))
(define (kx-load-png in out)
  (let* ((image (car (gimp-file-load RUN-NONINTERACTIVE in in)))
         (drawable (car (gimp-image-get-active-drawable image))))
    (file-png-save2 RUN-NONINTERACTIVE image drawable out out 0 6 0 0 0 0 0 0 0)
    (gimp-image-delete image)))
(define (kx-export in out level)
  (let* ((image (car (gimp-file-load RUN-NONINTERACTIVE in in)))
         (drawable (car (gimp-image-get-active-drawable image))))
    (if (= level -1)
        (gimp-file-save RUN-NONINTERACTIVE image drawable out out)
        (file-kx-save RUN-NONINTERACTIVE image drawable out out level))
    (gimp-image-delete image)))'
cases=()
case_of() {  # label, Script-Fu expression
  cases+=("(try $(q "$1") (lambda () $2))")
}

# Load, under three names each.
names=()
for kx in tests/data/decode/*.kx; do
  name=$(basename "$kx" .kx)
  names+=("$name")
  cp "$kx" "$work/in/$name.kx"
  cp "$kx" "$work/in/$name"
  cp "$kx" "$work/in/$name.png"
  "$kxconv" decode "$kx" "$work/ref/$name.png" 2>/dev/null || fail "kxconv decode $kx"
  for form in "$name.kx" "$name" "$name.png"; do
    case_of "load $form" "(kx-load-png $(q "$work/in/$form") $(q "$work/out/load-$form.png"))"
  done
done

# Refused files: the loader's own answer, by its procedure.
declare -A refusal=(
  [empty.kx]='Not a KX image (shorter than its 16-byte header)'
  [ten-bytes.kx]='Not a KX image (shorter than its 16-byte header)'
  [not-kx.kx]='Not a KX image'
  [not-kx-4x4.kx]='Not a KX image'
  [icon-16x16.ico]='Not a KX image'
  [zero-width.kx]='KX image has no pixels (0 × '
  [too-large-32767.kx]='KX image too large (32767 × '
)
for damaged in tests/data/damaged/*; do
  name=$(basename "$damaged")
  [ "$name" != expected.txt ] || continue
  [ -n "${refusal[$name]:-}" ] || fail "no expected refusal for $name"
  cp "$damaged" "$work/in/$name"
  case_of "refuse $name" "(file-kx-load RUN-NONINTERACTIVE $(q "$work/in/$name") $(q "$work/in/$name"))"
done

# Named .kx and holding nothing GIMP knows by content: chosen by the name,
# and the plug-in says why it refuses.
case_of "refuse by name ten-bytes.kx" "(gimp-file-load RUN-NONINTERACTIVE $(q "$work/in/ten-bytes.kx") $(q "$work/in/ten-bytes.kx"))"
grep_twice=ten-bytes.kx

# Export: the PNG cases and the golden pictures, each level in turn.
$python tests/png_cases.py "$work/png" >/dev/null || exit 1
for name in "${names[@]}"; do cp "$work/ref/$name.png" "$work/png/golden-$name.png"; done
level=0
exports=()
for png in "$work/png"/*.png; do
  name=$(basename "$png" .png)
  level=$((level % 9 + 1))
  exports+=("$name:$level")
  "$kxconv" encode --level "$level" "$png" "$work/ref/$name.kx" || fail "kxconv encode $png"
  case_of "export $name" "(kx-export $(q "$png") $(q "$work/out/$name.kx") $level)"
done
# By the name alone, as File > Export with a .kx name runs it: level 6.
"$kxconv" encode "$work/png/rgba8.png" "$work/ref/by-name.kx" || fail "kxconv encode rgba8"
case_of "export by-name" "(kx-export $(q "$work/png/rgba8.png") $(q "$work/out/by-name.kx") -1)"

# Over 8192 on a side, over a file that must survive.
echo "kept" >"$work/out/too-wide.kx"
case_of "export too-wide" "(let* ((image (car (gimp-image-new 8193 2 RGB)))
                   (layer (car (gimp-layer-new image 8193 2 RGB-IMAGE \"x\" 100 LAYER-MODE-NORMAL))))
              (gimp-image-insert-layer image layer 0 0)
              (file-kx-save RUN-NONINTERACTIVE image layer $(q "$work/out/too-wide.kx") $(q "$work/out/too-wide.kx") 6))"

# Thumbnail: the full size and the scaled image's, as a message.
case_of "thumbnail" "(let* ((r (file-kx-load-thumb $(q "$work/in/gradient-333x129.kx") 128)) (image (car r)))
              (gimp-message (string-append \"thumbnail \" (number->string (car (gimp-image-width image))) \" \"
                (number->string (car (gimp-image-height image))) \" of \" (number->string (cadr r)) \" \"
                (number->string (caddr r)))))"
# A thumbnail of a damaged file says nothing: the Open dialog makes one for
# every file it lists.
cp tests/data/decode/cut-64x67.kx "$work/in/thumb-of-cut.kx"
case_of "thumbnail of a cut file" "(file-kx-load-thumb $(q "$work/in/thumb-of-cut.kx") 32)"

start_ns=$(date +%s%N)
gimp-console -g "$work/gimprc" -i -d -f -n -b "(begin $defs ${cases[*]})" -b "(gimp-quit 0)" >"$work/log" 2>&1
echo "gimp: gimp-console exited $? after $((($(date +%s%N) - start_ns) / 1000000)) ms"

# Pixels: the PNG GIMP wrote against kxconv's, both 8-bit RGB.
pixel_pairs=()
for name in "${names[@]}"; do
  for form in "$name.kx" "$name" "$name.png"; do
    pixel_pairs+=("$work/out/load-$form.png" "$work/ref/$name.png")
  done
done
$python - "${pixel_pairs[@]}" <<'EOF' || failures=$((failures + 1))
import sys
from PIL import Image
args = sys.argv[1:]
bad = 0
for got, want in zip(args[0::2], args[1::2]):
    try:
        g, w = Image.open(got), Image.open(want)
        if g.mode != "RGB" or g.size != w.size or g.tobytes() != w.tobytes():
            print(f"gimp: FAIL: {got}: {g.mode} {g.size}, not the pixels kxconv decodes")
            bad += 1
    except OSError as e:
        print(f"gimp: FAIL: {got}: {e}")
        bad += 1
print(f"gimp: load: {len(args) // 2 - bad} of {len(args) // 2} pictures exact")
sys.exit(1 if bad else 0)
EOF

# Messages of files that end early: one for each such load, with kxconv's
# numbers; none for complete files.
for name in "${names[@]}"; do
  info=$("$kxconv" info "tests/data/decode/$name.kx")
  for form in "$name.kx" "$name" "$name.png"; do
    said=$(grep -F "$work/in/$form: the KX stream ended early" "$work/log")
    if [[ $info == *"stream ended early at pixel "* ]]; then
      where=${info##*stream ended early at }
      [[ $said == *"ended early at $where; the rest is completed"* ]] || fail "$form: no message '$where' in GIMP's console"
    else
      [ -z "$said" ] || fail "$form: a message for a complete stream: $said"
    fi
  done
done

# Refusals: the reason on one line naming the file, and the procedure failed.
for name in "${!refusal[@]}"; do
  said=$(grep -cF "$work/in/$name: ${refusal[$name]}" "$work/log")
  [ "$said" -ge 1 ] || fail "$name: no refusal '${refusal[$name]}'"
done
[ "$(grep -cF "$work/in/$grep_twice: ${refusal[$grep_twice]}" "$work/log")" -ge 2 ] ||
  fail "$grep_twice: no refusal when GIMP chose the plug-in by the name"
# The cases that failed: the refusals and the oversized export, no other.
failed=$(grep -o "script-fu-Warning: failed: .*" "$work/log" | sort | tr '\n' ' ')
expected=$( (printf 'script-fu-Warning: failed: refuse %s\n' "${!refusal[@]}" "by name ten-bytes.kx"
  echo "script-fu-Warning: failed: export too-wide") | sort | tr '\n' ' ')
[ "$failed" = "$expected" ] || fail "the cases that failed: $failed; expected: $expected"
[ "$(grep -c "script-fu-Warning: ok: " "$work/log")" -eq $((${#cases[@]} - ${#refusal[@]} - 2)) ] || fail "not every other case succeeded"

# Exports: byte for byte kxconv's file.
exact=0
for entry in "${exports[@]}" by-name:6; do
  name=${entry%%:*}
  if cmp -s "$work/out/$name.kx" "$work/ref/$name.kx"; then
    exact=$((exact + 1))
  else
    fail "export $name at level ${entry##*:}: not the file kxconv writes"
  fi
done
echo "gimp: export: $exact of $((${#exports[@]} + 1)) files the same as kxconv's"

grep -qF "$work/out/too-wide.kx: 8193 × 2 pixels, more than 8192 on a side" "$work/log" || fail "no refusal of 8193 x 2"
[ "$(cat "$work/out/too-wide.kx")" = kept ] || fail "the oversized export touched the file already there"
leftovers=$(find "$work/out" -name '.*' | wc -l)
[ "$leftovers" -eq 0 ] || fail "$leftovers temporary files left in the output folder"
grep -qF "thumbnail 128 50 of 333 129" "$work/log" || fail "thumbnail: $(grep thumbnail "$work/log")"
! grep -qF "thumb-of-cut.kx: the KX stream ended early" "$work/log" || fail "a thumbnail of a cut file gave a message"

if [ "$failures" -ne 0 ]; then
  echo "gimp: $failures failures; GIMP's console said:"
  cat "$work/log"
  exit 1
fi
echo "gimp: all passed"

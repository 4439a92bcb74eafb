#!/bin/bash
# Runs inside a clean Debian 12 root (scripts/check_debs_installed.sh made
# it): installs the packages in /work/debs as a user does, checks that each
# way in opens a KX picture as kxconv decodes it, purges them, and checks
# that nothing of them is left and the caches forget KX. ImageMagick and
# GraphicsMagick are installed first, as a user who adds KX to them has
# them (kx-magick-delegates only enhances them); GIMP comes with
# gimp-plugin-kx.
set -uo pipefail
cd /work
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ours=(libkx1 libkx-dev kx-tools kx-mime gdk-pixbuf-loader-kx qt5-image-formats-plugin-kx python3-kx gimp-plugin-kx
  kx-magick-delegates)
# What the packages need and the root lacks: apt must bring each of them
# (libpng16-16 comes with the converters already).
pulled=(libqt5gui5 libgdk-pixbuf-2.0-0 libgdk-pixbuf2.0-bin shared-mime-info python3 python3-pil libpng16-16 gimp)
converters=(imagemagick-6.q16 graphicsmagick)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# Every path of the root but the ones apt, dpkg and the kernel keep for
# themselves.
snapshot() {
  find / -xdev \( -path /proc -o -path /dev -o -path /sys -o -path /tmp -o -path /run -o -path /work \
    -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log \) -prune -o -print |
    sort >"$1"
}

for p in "${pulled[@]}" "${ours[@]}" "${converters[@]}"; do
  installed "$p" && fail "$p is in the root before the install"
done
apt-get update -qq || exit 1
# The converters without what they recommend (Ghostscript, fonts): their
# own configuration is what matters here.
start=$SECONDS
apt-get install -y -q --no-install-recommends "${converters[@]}" >converters.log 2>&1 ||
  { tail -30 converters.log; exit 1; }
echo "converters installed: $(grep -c '^Setting up' converters.log) packages in $((SECONDS - start)) s"
# ImageMagick's and GraphicsMagick's configuration: what they read, and the
# files of their folders.
magick_configuration() {
  convert-im6.q16 -list delegate
  convert-im6.q16 -list magic
  gm convert -list delegates
  find /etc/ImageMagick-6 /usr/share/ImageMagick-6 /usr/lib/GraphicsMagick-* /usr/share/GraphicsMagick-* -type f \
    -exec md5sum {} + | sort
}
magick_configuration >magick-before.txt 2>&1
snapshot before.txt
dpkg-query -W -f='${Package}\n' | sort >packages-before.txt

debs=()
for deb in debs/*.deb; do
  case $deb in *-dbgsym_*) ;; *) debs+=("./$deb") ;; esac
done
echo "apt-get install ${debs[*]}"
start=$SECONDS
apt-get install -y -q "${debs[@]}" >install.log 2>&1 || { tail -30 install.log; exit 1; }
echo "installed: $(grep -c '^Setting up' install.log) packages set up in $((SECONDS - start)) s"
for p in "${pulled[@]}" "${ours[@]}"; do
  installed "$p" || fail "apt-get install did not bring $p"
done

# The same picture's pixels, whatever wrote them (PPM, PNG or BMP files).
same_pixels() {  # what, expected, got
  python3 - "$2" "$3" <<'PY' || fail "$1: the pixels differ from kxconv's"
import sys
from PIL import Image
a, b = (Image.open(p).convert("RGB") for p in sys.argv[1:3])
if a.size != b.size:
    print(f"{sys.argv[2]}: {b.size[0]} x {b.size[1]}, expected {a.size[0]} x {a.size[1]}")
sys.exit(0 if a.size == b.size and a.tobytes() == b.tobytes() else 1)
PY
}

picture=data/gradient-333x129.kx
cp "$picture" picture-without-suffix
# kxconv: the reference the others are compared with, itself checked
# against the plug-in's bitmap; and a round trip through its encoder.
kxconv decode "$picture" reference.bmp || fail "kxconv decode"
cmp -s reference.bmp data/gradient-333x129.bmp || fail "kxconv: not the plug-in's bitmap"
kxconv encode --level 9 reference.bmp again.kx && kxconv decode again.kx again.ppm || fail "kxconv encode"
same_pixels "kxconv encode then decode" reference.bmp again.ppm
kxconv info again.kx

# gdk-pixbuf: by content (no suffix; GLib's MIME database names it) and by
# name; the thumbnailer as a file manager runs it, from its entry.
programs/pixbuf_open picture-without-suffix pixbuf.ppm || fail "gdk-pixbuf did not open KX by content"
same_pixels gdk-pixbuf reference.bmp pixbuf.ppm
exec_line=$(sed -n 's/^Exec=//p' /usr/share/thumbnailers/kx.thumbnailer)
# At the picture's own size (333 x 129) gdk-pixbuf does not scale it: the
# thumbnail holds the decoded pixels themselves.
command=${exec_line//%s/333}
command=${command//%u/file:\/\/\/work\/picture-without-suffix}
command=${command//%o/\/work\/thumbnail.png}
echo "thumbnailer: $command"
# shellcheck disable=SC2086  # the entry's words, as a file manager splits them
$command || fail "the thumbnailer failed"
same_pixels gdk-pixbuf-thumbnailer reference.bmp thumbnail.png
grep -q libpixbufloader-kx.so /usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache ||
  fail "gdk-pixbuf's loaders cache does not name the loader"

# Qt, by content.
programs/qt_open picture-without-suffix qt.ppm || fail "Qt did not open KX"
same_pixels Qt reference.bmp qt.ppm

# Python, through Pillow.
python3 -c "
import kx.pillow
from PIL import Image
im = Image.open('$picture')
print('Python:', kx.version(), im.format, im.size)
im.save('python.ppm')" || fail "Python did not open KX"
same_pixels Python reference.bmp python.ppm

# A program of one's own: pkg-config and find_package(kx), shared and static.
libs=$(pkg-config --libs kx)
[ "${libs% }" = "-lkx" ] || fail "pkg-config --libs kx gives '$libs'"
cc -std=c99 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags kx) consumer/kx_consumer.c $(pkg-config --libs kx) \
  -o pkgconfig-consumer || fail "no program through pkg-config"
cmake -S consumer/cmake -B cmake-build >cmake.log 2>&1 && cmake --build cmake-build >>cmake.log 2>&1 ||
  { cat cmake.log; fail "no program through find_package(kx)"; }
for program in pkgconfig-consumer cmake-build/kx_consumer_shared cmake-build/kx_consumer_static; do
  mkdir -p "out-${program##*/}"
  if "./$program" "out-${program##*/}" "$picture" >/dev/null; then
    cmp -s data/gradient-333x129.bmp "out-${program##*/}/gradient-333x129.kx.bmp" || fail "$program: wrong pixels"
  else
    fail "$program failed"
  fi
done
echo "pkg-config and find_package(kx): three programs built and decoding as the plug-in"
grep -q 'image/x-kx' /usr/share/mime/mime.cache || fail "the MIME database does not know image/x-kx"

# ImageMagick and GraphicsMagick: by name and, for ImageMagick, by content;
# both ways. GraphicsMagick reads the first delegates.mgk only, which must
# still give the system's delegates besides KX's.
failures_before=$failures
convert-im6.q16 "$picture" im.png || fail "convert x.kx"
same_pixels "convert x.kx" reference.bmp im.png
convert-im6.q16 picture-without-suffix im-by-content.png || fail "convert of a KX file without a suffix"
same_pixels "convert (by content)" reference.bmp im-by-content.png
gm convert "$picture" gm.png || fail "gm convert x.kx"
same_pixels "gm convert x.kx" reference.bmp gm.png
kxconv encode reference.bmp reference.kx || fail "kxconv encode"
convert-im6.q16 reference.bmp im.kx && cmp -s im.kx reference.kx || fail "convert y.bmp x.kx: not kxconv's file"
gm convert reference.bmp gm.kx && cmp -s gm.kx reference.kx || fail "gm convert y.bmp x.kx: not kxconv's file"
# (One line a delegate, with its arrow; long commands wrap.)
gm convert -list delegates | grep -E '=>|<=' | grep -v kxconv >gm-delegates.txt
[ -s gm-delegates.txt ] && [ "$(gm convert -list delegates | grep -c kxconv)" -ge 2 ] &&
  diff -q gm-delegates.txt <(sed -n '/^Path: \/usr\/lib\/GraphicsMagick/,$p' magick-before.txt | grep -E '=>|<=') ||
  fail "gm: the system's delegates are not all read beside KX's"
[ "$failures" -eq "$failures_before" ] &&
  echo "ImageMagick and GraphicsMagick: read by name and by content, written as kxconv writes"

# GIMP, batch, with the plug-in where the package put it: GIMP's own
# folder, no path of ours. gimp-console exits 0 whatever a command does:
# every outcome is read from the files and from GIMP's messages.
export HOME=/tmp/home GIMP2_DIRECTORY=/tmp/gimp
mkdir -p "$HOME"
cp data/cut-64x67.kx cut.kx
cp data/ten-bytes.kx ten-bytes.kx
batch='(define (try label thunk)
  (catch (gimp-message (string-append "failed: " label))
    (thunk)
    (gimp-message (string-append "ok: " label))))
(define (load-png in out)
  (let* ((image (car (gimp-file-load RUN-NONINTERACTIVE in in)))
         (drawable (car (gimp-image-get-active-drawable image))))
    (file-png-save2 RUN-NONINTERACTIVE image drawable out out 0 6 0 0 0 0 0 0 0)
    (gimp-image-delete image)))
(try "load by name" (lambda () (load-png "/work/data/gradient-333x129.kx" "/work/gimp.png")))
(try "load by content" (lambda () (load-png "/work/picture-without-suffix" "/work/gimp-by-content.png")))
(try "load a cut file" (lambda () (load-png "/work/cut.kx" "/work/gimp-cut.png")))
(try "refuse" (lambda () (gimp-file-load RUN-NONINTERACTIVE "/work/ten-bytes.kx" "/work/ten-bytes.kx")))
(try "export" (lambda ()
  (let* ((image (car (gimp-file-load RUN-NONINTERACTIVE "/work/reference.bmp" "/work/reference.bmp")))
         (drawable (car (gimp-image-get-active-drawable image))))
    (gimp-file-save RUN-NONINTERACTIVE image drawable "/work/gimp.kx" "/work/gimp.kx"))))'
failures_before=$failures
start=$SECONDS
gimp-console -i -d -f -n -b "(begin $batch)" -b "(gimp-quit 0)" >gimp.log 2>&1
echo "gimp-console: exited $? after $((SECONDS - start)) s"
same_pixels "GIMP (by name)" reference.bmp gimp.png
same_pixels "GIMP (by content)" reference.bmp gimp-by-content.png
kxconv decode cut.kx cut-reference.png 2>/dev/null
same_pixels "GIMP (a cut file)" cut-reference.png gimp-cut.png
cut_info=$(kxconv info cut.kx)
grep -qF "/work/cut.kx: the KX stream ended early at ${cut_info##*stream ended early at }" gimp.log ||
  fail "GIMP: no message where the cut file ends"
grep -qF "/work/ten-bytes.kx: Not a KX image (shorter than its 16-byte header)" gimp.log ||
  fail "GIMP: no refusal of a ten-byte file"
cmp -s gimp.kx reference.kx || fail "GIMP: the export is not kxconv's file"
outcomes=$(grep -o 'script-fu-Warning: \(ok\|failed\): .*' gimp.log | tr '\n' '|')
[ "$outcomes" = "script-fu-Warning: ok: load by name|script-fu-Warning: ok: load by content|\
script-fu-Warning: ok: load a cut file|script-fu-Warning: failed: refuse|script-fu-Warning: ok: export|" ] ||
  fail "GIMP: the cases' outcomes: $outcomes"
if [ "$failures" -eq "$failures_before" ]; then
  echo "GIMP: loaded by name and by content, a cut file completed with its message, refused one, exported one"
else
  cat gimp.log
fi

# Purge, and the dependencies apt brought with them.
for p in "${ours[@]}"; do dpkg -L "$p"; done | sort -u >our-files.txt
apt-get purge -y -q "${ours[@]}" >purge.log 2>&1 || { tail -20 purge.log; fail "apt-get purge"; }
# The caches while their owners are still installed: their triggers ran.
grep -q 'image/x-kx' /usr/share/mime/mime.cache && fail "the MIME database still knows image/x-kx"
grep -q kx /usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache && fail "the loaders cache still names the loader"
[ -s /usr/share/mime/mime.cache ] && [ -f /usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache ] ||
  fail "the caches are gone, not refreshed"
echo "after the purge: the MIME database and gdk-pixbuf's loaders cache hold no KX"
magick_configuration >magick-after.txt 2>&1
if diff magick-before.txt magick-after.txt; then
  echo "after the purge: ImageMagick's and GraphicsMagick's configuration as before the install"
else
  fail "ImageMagick's or GraphicsMagick's configuration changed by the purge"
fi
apt-get autoremove --purge -y -q >>purge.log 2>&1 || fail "apt-get autoremove --purge"
left=0
while read -r path; do
  # Folders the system's own packages keep (/usr, /usr/share/mime/packages ...).
  if [ -e "$path" ] && [ ! -d "$path" ]; then
    echo "left: $path"
    left=$((left + 1))
  fi
done <our-files.txt
snapshot after.txt
comm -13 before.txt after.txt >added.txt
grep -i kx added.txt && left=$((left + $(grep -ci kx added.txt)))
[ "$left" -eq 0 ] || fail "$left files of the packages left after the purge"
echo "purged: files of the packages left: $left"
# apt keeps what the root's own packages recommend or suggest (APT::
# AutoRemove::RecommendsImportant and SuggestsImportant): their files are
# the only paths added. ImageMagick suggests GIMP and Graphviz, so GIMP and
# what it brought stay (kept.txt lists them).
dpkg-query -W -f='${Package}\n' | sort | comm -13 packages-before.txt - >kept.txt
echo "paths added since before the install: $(wc -l <added.txt), of the $(wc -l <kept.txt) packages apt keeps" \
  "($(grep -c '^gimp$' kept.txt) gimp; none of ours: $(grep -cxF -f <(printf '%s\n' "${ours[@]}") kept.txt))"
echo "in the root: $failures failed"
[ "$failures" -eq 0 ]

#!/bin/bash
# Runs inside a clean Debian 12 root (scripts/check_debs_installed.sh made
# it): installs the packages in /work/debs as a user does, checks that each
# way in opens a KX picture as kxconv decodes it, purges them, and checks
# that nothing of them is left and the caches forget KX.
set -uo pipefail
cd /work
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ours=(libkx1 libkx-dev kx-tools kx-mime gdk-pixbuf-loader-kx qt5-image-formats-plugin-kx python3-kx)
# What the packages need and the root lacks: apt must bring each of them.
pulled=(libqt5gui5 libgdk-pixbuf-2.0-0 libgdk-pixbuf2.0-bin shared-mime-info python3 python3-pil libpng16-16)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# Every path of the root but the ones apt, dpkg and the kernel keep for
# themselves.
snapshot() {
  find / -xdev \( -path /proc -o -path /dev -o -path /sys -o -path /tmp -o -path /run -o -path /work \
    -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log \) -prune -o -print |
    sort >"$1"
}

for p in "${pulled[@]}" "${ours[@]}"; do
  installed "$p" && fail "$p is in the root before the install"
done
snapshot before.txt
dpkg-query -W -f='${Package}\n' | sort >packages-before.txt

apt-get update -qq || exit 1
debs=()
for deb in debs/*.deb; do
  case $deb in *-dbgsym_*) ;; *) debs+=("./$deb") ;; esac
done
echo "apt-get install ${debs[*]}"
apt-get install -y -q "${debs[@]}" >install.log 2>&1 || { tail -30 install.log; exit 1; }
echo "installed: $(grep -c '^Setting up' install.log) packages set up"
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

# Purge, and the dependencies apt brought with them.
for p in "${ours[@]}"; do dpkg -L "$p"; done | sort -u >our-files.txt
apt-get purge -y -q "${ours[@]}" >purge.log 2>&1 || { tail -20 purge.log; fail "apt-get purge"; }
# The caches while their owners are still installed: their triggers ran.
grep -q 'image/x-kx' /usr/share/mime/mime.cache && fail "the MIME database still knows image/x-kx"
grep -q kx /usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache && fail "the loaders cache still names the loader"
[ -s /usr/share/mime/mime.cache ] && [ -f /usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache ] ||
  fail "the caches are gone, not refreshed"
echo "after the purge: the MIME database and gdk-pixbuf's loaders cache hold no KX"
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
# apt keeps what the root's own packages recommend (APT::AutoRemove::
# RecommendsImportant): their files are the only paths added.
kept=$(dpkg-query -W -f='${Package}\n' | sort | comm -13 packages-before.txt - | tr '\n' ' ')
echo "paths added since before the install: $(wc -l <added.txt), of the packages apt keeps: $kept"
echo "in the root: $failures failed"
[ "$failures" -eq 0 ]

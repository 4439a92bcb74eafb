#!/usr/bin/env bash
# The Debian packages installed as a user installs them, in a clean Debian
# 12 root: `apt-get install ./*.deb` brings every dependency (GIMP
# among them; ImageMagick and GraphicsMagick are installed first, as the
# delegates only enhance them); gdk-pixbuf (a program and the thumbnailer
# from its entry), Qt, Python's Pillow, kxconv, pkg-config,
# find_package(kx), GIMP in batch mode, convert and gm convert then work
# with no further step; `apt-get purge` leaves no file, the caches forget
# KX and the converters' configuration is as it was
# (tests/packages/inside_root.sh runs inside).
#
#   scripts/check_debs_installed.sh [DEBS_DIR]     # default build/debs
#
# The root comes from a tarball made once by mmdebstrap from Debian's
# packages (build/debroot/base.tar: apt, and the compiler, CMake and
# pkg-config a programmer has); the packages apt downloads are kept in
# build/debroot/archives for the next run. Needs root (chroot, mounts).
set -euo pipefail
cd "$(dirname "$0")/.."
debs=$(realpath "${1:-build/debs}")
top=$PWD/build/debroot
root=$top/root
mirror=http://deb.debian.org/debian
base_packages=g++,make,cmake,pkg-config
recipe="bookworm variant=apt include=$base_packages"
mkdir -p "$top/archives"
if [ ! -f "$top/base.tar" ] || [ "$(cat "$top/base.recipe" 2>/dev/null)" != "$recipe" ]; then
  echo "making the root: mmdebstrap $recipe"
  rm -f "$top/base.tar"
  nice -n 10 mmdebstrap --quiet --format=tar --variant=apt --include=$base_packages bookworm "$top/base.new.tar" \
    "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
    "deb http://deb.debian.org/debian-security bookworm-security main"
  mv "$top/base.new.tar" "$top/base.tar"
  echo "$recipe" >"$top/base.recipe"
fi
umount -R "$root" 2>/dev/null || true
rm -rf "$root"
mkdir -p "$root"
tar -xf "$top/base.tar" -C "$root"

work=$root/work
mkdir -p "$work/debs" "$work/programs" "$work/data" "$work/consumer"
cp "$debs"/*.deb "$work/debs/"
cp tests/data/decode/gradient-333x129.kx tests/data/decode/gradient-333x129.bmp "$work/data/"
cp tests/data/decode/cut-64x67.kx tests/data/damaged/ten-bytes.kx "$work/data/"
cp -r tests/consumer/. "$work/consumer/"
cp tests/packages/inside_root.sh "$work/"
# The test programs are built here, against Debian 12's gdk-pixbuf and Qt
# of this machine, which are those the root gets: they bring no library
# of their own into it.
cc -O1 $(pkg-config --cflags gdk-pixbuf-2.0) tests/packages/pixbuf_open.c $(pkg-config --libs gdk-pixbuf-2.0) \
  -o "$work/programs/pixbuf_open"
c++ -O1 -fPIC $(pkg-config --cflags Qt5Gui) tests/packages/qt_open.cpp $(pkg-config --libs Qt5Gui) \
  -o "$work/programs/qt_open"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# A mount namespace of its own: the mounts go when it ends, whatever
# happens inside.
status=0
unshare --mount --fork bash -c '
  set -e
  root=$1
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --bind "$2" "$root/var/cache/apt/archives"
  chroot "$root" /work/inside_root.sh' _ "$root" "$top/archives" || status=$?
rm -rf "$root"
exit $status

#!/usr/bin/env bash
# Builds the Debian packages of HEAD (debian/) in a fresh clone under
# OUT_DIR/src (the first argument, default build/debs) and checks them with
# lintian: no error and no warning. The .deb files, the .changes and the
# .buildinfo land in OUT_DIR.
#
# SOURCE_DATE_EPOCH is the commit's time, so that the same commit gives the
# same .deb files wherever and whenever it is built (scripts/check_debs.sh
# builds twice and compares).
set -euo pipefail
cd "$(dirname "$0")/.."
# KX_DEBS_REV: another commit than HEAD.
rev=$(git rev-parse "${KX_DEBS_REV:-HEAD}")
out=$(realpath -m "${1:-build/debs}")
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
rm -rf "$out"
mkdir -p "$out/src"
src=$out/src/kxfilter-$version
git clone -q --shared . "$src"
git -C "$src" checkout -q --detach "$rev"
# Debian's own tools and Python only: a Python earlier on PATH (pyenv's)
# has neither Debian's modules nor its layout.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$rev")
# The machine is shared: two jobs, at a lower priority.
(cd "$src" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" nice -n 10 dpkg-buildpackage -us -uc -b) \
  >"$out/build.log" 2>&1 || { tail -40 "$out/build.log"; echo "build_debs: dpkg-buildpackage failed ($out/build.log)"; exit 1; }
mv "$out/src/"*.deb "$out/src/"*.changes "$out/src/"*.buildinfo "$out/"
rm -rf "$out/src"
changes=$(ls "$out"/*.changes)
echo "build_debs: $(cd "$out" && ls ./*.deb | tr '\n' ' ')"
lintian --fail-on error,warning --display-info "$changes"

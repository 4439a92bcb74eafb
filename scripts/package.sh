#!/usr/bin/env bash
# Makes the release in build/dist (or OUT_DIR, the first argument):
#
#   kxfilter-VERSION-windows.zip  kxfilter.spi (32-bit viewers), kxfilter.sph
#                                 (64-bit viewers), kxconv.exe (x64), the
#                                 imaging codec kxwic.dll for x86 and x64 (in
#                                 folders of those names), a short text on
#                                 installing them and the licence, with
#                                 Windows line ends, in one folder
#   kxfilter-VERSION-x64.msi      the installer (scripts/make_msi.sh)
#   SHA256SUMS                    of both
#
# The same commit gives the same bytes whenever and wherever it is built:
# the PE files carry no link time or build folder (CMakeLists.txt), every
# file is dated at the commit's time, the archive is made by zip -X from a
# sorted list in UTC, and the installer at a fixed clock. Builds only what
# ships, in the win32 and win64 presets.
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$(realpath -m "${1:-build/dist}")
version=$(sed -n 's/^project(kxfilter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
epoch=$(git log -1 --format=%ct)
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j 2 --target kxfilter kxwic >/dev/null
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j 2 --target kxfilter kxwic kxconv >/dev/null

name=kxfilter-$version
zip_name=$name-windows.zip
msi_name=$name-x64.msi
stage=$dist/$name
rm -rf "$stage" "${dist:?}/$zip_name" "$dist/$msi_name" "$dist/SHA256SUMS"
mkdir -p "$stage/x86" "$stage/x64"
cp build/win32/kxfilter.spi build/win64/kxfilter.sph build/win64/tools/kxconv.exe "$stage/"
cp build/win32/kxwic.dll "$stage/x86/"
cp build/win64/kxwic.dll "$stage/x64/"
sed "s/@VERSION@/$version/; s/\$/\r/" dist/INSTALL.txt >"$stage/INSTALL.txt"
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
find "$stage" -exec touch -d "@$epoch" {} +
(cd "$dist" && find "$name" | LC_ALL=C sort | TZ=UTC zip -X -q -@ "$zip_name")
touch -d "@$epoch" "$dist/$zip_name"

listed=$(cd "$dist" && unzip -Z1 "$zip_name" | LC_ALL=C sort | tr '\n' ' ')
want="$name/ $name/INSTALL.txt $name/LICENSE.txt $name/kxconv.exe $name/kxfilter.sph $name/kxfilter.spi "
want+="$name/x64/ $name/x64/kxwic.dll $name/x86/ $name/x86/kxwic.dll "
if [ "$listed" != "$want" ]; then
  echo "package: the archive holds '$listed', want '$want'" >&2
  exit 1
fi

scripts/make_msi.sh "$dist/$msi_name" "$version" "$epoch" build/win64/tools/kxconv.exe build/win32/kxfilter.spi \
  build/win64/kxfilter.sph build/win32/kxwic.dll build/win64/kxwic.dll
(cd "$dist" && sha256sum "$zip_name" "$msi_name" >SHA256SUMS)
echo "$dist: $zip_name ($listed), $msi_name, SHA256SUMS"

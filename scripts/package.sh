#!/usr/bin/env bash
# Makes the distribution archive build/dist/kxfilter-VERSION-windows.zip:
# kxfilter.spi (32-bit viewers), kxfilter.sph (64-bit viewers), the imaging
# codec kxwic.dll for x86 and x64 (in folders of those names), a short text
# on installing them and the license, with Windows line ends, in one folder.
# Builds the win32 and win64 presets first.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(kxfilter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 --target kxfilter kxwic >/dev/null
done

name=kxfilter-$version
stage=build/dist/$name
rm -rf "$stage" "build/dist/$name-windows.zip"
mkdir -p "$stage/x86" "$stage/x64"
cp build/win32/kxfilter.spi build/win64/kxfilter.sph "$stage/"
cp build/win32/kxwic.dll "$stage/x86/"
cp build/win64/kxwic.dll "$stage/x64/"
sed "s/@VERSION@/$version/; s/\$/\r/" dist/INSTALL.txt >"$stage/INSTALL.txt"
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
(cd build/dist && cmake -E tar cf "$name-windows.zip" --format=zip "$name")

listed=$(cd build/dist && cmake -E tar tf "$name-windows.zip" | sort | tr '\n' ' ')
want="$name/ $name/INSTALL.txt $name/LICENSE.txt $name/kxfilter.sph $name/kxfilter.spi $name/x64/ $name/x64/kxwic.dll $name/x86/ $name/x86/kxwic.dll "
if [ "$listed" != "$want" ]; then
  echo "package: the archive holds '$listed', want '$want'" >&2
  exit 1
fi
echo "build/dist/$name-windows.zip: $listed"

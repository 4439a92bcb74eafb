#!/usr/bin/env bash
# Builds the release of HEAD twice, in two fresh clones in different folders
# under build/release-check, the second later, in another time zone and with
# another umask, and compares every file that ships byte for byte: both
# modules, both WIC DLLs, kxconv.exe, the archive, the installer and
# SHA256SUMS. Each clone builds only what ships (scripts/package.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD/build/release-check
rm -rf "$top"
mkdir -p "$top"
first=$top/a
second=$top/the-second-build/b
git clone -q --shared . "$first" || exit 1
git clone -q --shared . "$second" || exit 1
git -C "$first" checkout -q --detach "$(git rev-parse HEAD)"
git -C "$second" checkout -q --detach "$(git rev-parse HEAD)"

(cd "$first" && scripts/package.sh "$first/build/dist" >/dev/null) || { echo "FAIL: the first build"; exit 1; }
sleep 2  # at least one second later: a time stamp anywhere would differ
(cd "$second" && umask 077 && TZ=Asia/Tokyo scripts/package.sh "$second/build/dist" >/dev/null) ||
  { echo "FAIL: the second build"; exit 1; }

version=$(sed -n 's/^project(kxfilter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
failures=0
compared=0
for file in build/win32/kxfilter.spi build/win64/kxfilter.sph build/win32/kxwic.dll build/win64/kxwic.dll \
  build/win64/tools/kxconv.exe "build/dist/kxfilter-$version-windows.zip" "build/dist/kxfilter-$version-x64.msi" \
  build/dist/SHA256SUMS; do
  if [ ! -f "$first/$file" ] || [ ! -f "$second/$file" ]; then
    echo "FAIL: $file missing"
    failures=$((failures + 1))
  elif ! cmp -s "$first/$file" "$second/$file"; then
    echo "FAIL: $file differs: $(cmp "$first/$file" "$second/$file" 2>&1 | head -1)"
    failures=$((failures + 1))
  else
    echo "same: $file ($(stat -c %s "$first/$file") bytes)"
  fi
  compared=$((compared + 1))
done
echo "release check: $compared files compared, $failures differ"
[ "$failures" -eq 0 ] && rm -rf "$top"
[ "$failures" -eq 0 ]

#!/usr/bin/env bash
# The installer under Wine, in fresh 64-bit prefixes of its own:
#   - msiexec /i installs quietly; the files are where the package puts them;
#   - the registry then holds what regsvr32 of both DLLs writes (both views,
#     compared with a second prefix where the same files were registered);
#   - WIC decodes KX pictures through the factory in a 32-bit and a 64-bit
#     program (kxwic_tests), with no other registration;
#   - the installed kxconv.exe turns KX files into PNG and back with exact
#     pixels, names in Japanese and Greek;
#   - msiexec /x leaves the registry (HKLM and HKCU, both views) and drive C:
#     as they were before the installation;
#   - a package of a lower version, installed first, is replaced by this one:
#     one product, the new files, and a clean removal.
# Prints the install and uninstall times (not checked).
#
#   check_msi.sh WINE_RUN WORK_DIR VERSION EPOCH KXCONV_EXE SPI SPH WIC_X86 WIC_X64 BUILD32 BUILD64 DATA_DIR
set -uo pipefail
[ $# -eq 12 ] || { echo "usage: check_msi.sh WINE_RUN WORK_DIR VERSION EPOCH KXCONV_EXE SPI SPH WIC_X86 WIC_X64 BUILD32 BUILD64 DATA_DIR"; exit 2; }
wine_run=$1
work=$(realpath -m "$2")
version=$3
epoch=$4
kxconv=$5
spi=$6
sph=$7
wic32=$8
wic64=$9
build32=${10}
build64=${11}
data=$(realpath "${12}")
root=$(cd "$(dirname "$0")/.." && pwd)
for f in "$kxconv" "$spi" "$sph" "$wic32" "$wic64" "$build32/kxwic_tests.exe" "$build64/kxwic_tests.exe"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing (build the win32 and win64 presets first)"; exit 1; }
done
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
rm -rf "$work"
mkdir -p "$work"

IFS=. read -r major minor patch _ <<<"$version.0.0"
msi_version=$major.${minor:-0}.${patch:-0}  # as make_msi.sh gives it
msi=$work/kxfilter-$version-x64.msi
old_msi=$work/kxfilter-0.1-x64.msi
"$root/scripts/make_msi.sh" "$msi" "$version" "$epoch" "$kxconv" "$spi" "$sph" "$wic32" "$wic64" || exit 1
# The older package installs other bytes as kxconv.exe, so that the upgrade
# shows whose files stay.
"$root/scripts/make_msi.sh" "$old_msi" 0.1 "$epoch" "$sph" "$spi" "$sph" "$wic32" "$wic64" || exit 1
echo "package: $(stat -c %s "$msi") bytes"

prefix=$work/prefix
wine64() { "$wine_run" --prefix "$prefix" --wine64 "$@"; }
wine32() { "$wine_run" --prefix "$prefix" "$@"; }
installed="$prefix/drive_c/Program Files/kxfilter"
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

# HKLM\Software and HKCU\Software (both views) as reg export writes them
# (no times in them), one line per value under its key's name, and every
# file on drive C: with its size. Not ours, and so left out: the empty keys
# Windows Installer keeps for its own bookkeeping once anything was
# installed, and its cache folder (files in it still count).
registry_lines() {
  iconv -f UTF-16LE -t UTF-8 "$1" | tr -d '\r' | awk '
    /^\[/ { if (key != "" && !values) print key; key = $0; values = 0; next }
    key == "" || $0 == "" { next }
    { print key " " $0; values = 1 }
    END { if (key != "" && !values) print key }' |
    grep -v -E '^\[HKEY_LOCAL_MACHINE\\Software\\(Classes\\Installer|Microsoft\\Windows\\CurrentVersion\\Installer)(\\[^]]*)?\]$'
}
snapshot() {  # NAME
  local hive
  for hive in HKLM HKCU; do
    wine64 reg export "$hive\\Software" "$(windows_path "$work/$1-$hive.export")" /y >/dev/null 2>&1 ||
      fail "reg export $hive for $1"
    registry_lines "$work/$1-$hive.export" >"$work/$1-$hive.txt"
  done
  (cd "$prefix/drive_c" && find . -path ./users -prune -o ! \( -path ./windows/Installer -type d \) -printf '%p %s\n' |
    LC_ALL=C sort) >"$work/$1-files.txt"
}
same_as_before() {  # WHEN
  local part
  for part in HKLM.txt HKCU.txt files.txt; do
    if ! diff -q "$work/before-$part" "$work/$1-$part" >/dev/null; then
      fail "after $1, $part differs from before the installation:"
      diff "$work/before-$part" "$work/$1-$part" | head -20
    fi
  done
  echo "after $1: $(wc -l <"$work/$1-HKLM.txt") HKLM and $(wc -l <"$work/$1-HKCU.txt") HKCU lines, $(wc -l <"$work/$1-files.txt") files and folders as before"
}
seconds_of() {
  local start status
  start=$(date +%s%N)
  "$@"
  status=$?
  echo "$(( ($(date +%s%N) - start) / 1000000 ))" | sed 's/\(...\)$/.\1/; s/^\./0./' >"$work/seconds"
  return $status
}

wine64 wineboot -i >/dev/null 2>&1
# Windows's KindMap holds the kinds of many extensions; a fresh Wine prefix
# has it empty, and removing the last value of an emptied key removes the
# key too (in Wine's msiexec as in DllUnregisterServer). One entry of
# another program's, as on Windows, must stay.
for view in 64 32; do
  wine64 reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\KindMap' /v .jpg /d picture /f "/reg:$view" \
    >/dev/null 2>&1 || fail "reg add KindMap .jpg in view $view"
done
snapshot before
grep -q 'KindMap\] ".jpg"="picture"' "$work/before-HKLM.txt" || fail "the snapshot does not show KindMap's .jpg"

# Install.
seconds_of wine64 msiexec /i "$(windows_path "$msi")" /qn || fail "msiexec /i exited with $?"
echo "install: $(cat "$work/seconds") s"
for f in kxconv.exe LICENSE.txt plug-ins/README.txt plug-ins/kxfilter.spi plug-ins/kxfilter.sph wic/x64/kxwic.dll \
  wic/x86/kxwic.dll; do
  [ -f "$installed/$f" ] || fail "$f is not installed"
done
cmp -s "$installed/wic/x86/kxwic.dll" "$wic32" || fail "wic/x86/kxwic.dll is not the 32-bit DLL"
cmp -s "$installed/wic/x64/kxwic.dll" "$wic64" || fail "wic/x64/kxwic.dll is not the 64-bit DLL"
cmp -s "$installed/kxconv.exe" "$kxconv" || fail "kxconv.exe is not the one built"

# The registry against regsvr32 of the same files in a prefix of their own.
clsid='{6B0F06AD-041E-4829-AC58-26F68853CC4C}'
trees=("HKLM\\Software\\Classes\\CLSID\\$clsid"
  "HKLM\\Software\\Classes\\CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\$clsid"
  "HKLM\\Software\\Classes\\.kx" "HKLM\\Software\\Classes\\SystemFileAssociations\\.kx")
values=("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap"
  "HKLM\\Software\\Microsoft\\Windows Photo Viewer\\Capabilities\\FileAssociations")
ours() {  # the decoder's registry entries in both views, as text
  local view key
  for view in 64 32; do
    for key in "${trees[@]}"; do
      echo "[/reg:$view] $key"
      "$wine_run" --prefix "$1" --wine64 reg query "$key" /s "/reg:$view" 2>&1 | tr -d '\r'
    done
    for key in "${values[@]}"; do
      echo "[/reg:$view] $key .kx"
      "$wine_run" --prefix "$1" --wine64 reg query "$key" /v .kx "/reg:$view" 2>&1 | tr -d '\r'
    done
  done
}
ours "$prefix" >"$work/msi-registry.txt"
regsvr_prefix=$work/regsvr32-prefix
mkdir -p "$regsvr_prefix/drive_c/Program Files/kxfilter/wic/x64" "$regsvr_prefix/drive_c/Program Files/kxfilter/wic/x86"
"$wine_run" --prefix "$regsvr_prefix" --wine64 wineboot -i >/dev/null 2>&1
cp "$wic64" "$regsvr_prefix/drive_c/Program Files/kxfilter/wic/x64/kxwic.dll"
cp "$wic32" "$regsvr_prefix/drive_c/Program Files/kxfilter/wic/x86/kxwic.dll"
"$wine_run" --prefix "$regsvr_prefix" --wine64 regsvr32 /s 'C:\Program Files\kxfilter\wic\x64\kxwic.dll' ||
  fail "regsvr32 of the 64-bit DLL"
"$wine_run" --prefix "$regsvr_prefix" regsvr32 /s 'C:\Program Files\kxfilter\wic\x86\kxwic.dll' ||
  fail "regsvr32 of the 32-bit DLL"
ours "$regsvr_prefix" >"$work/regsvr32-registry.txt"
if diff -u "$work/regsvr32-registry.txt" "$work/msi-registry.txt" >"$work/registry.diff"; then
  echo "registry: $(grep -c 'REG_' "$work/msi-registry.txt") values the same as regsvr32 writes"
else
  fail "the installer's registry entries differ from regsvr32's (- regsvr32, + installer):"
  head -40 "$work/registry.diff"
fi
grep -q 'kxfilter\\wic\\x86\\kxwic.dll' "$work/msi-registry.txt" || fail "no entry names the 32-bit DLL"
grep -q 'kxfilter\\wic\\x64\\kxwic.dll' "$work/msi-registry.txt" || fail "no entry names the 64-bit DLL"

# WIC decodes through the factory, in both kinds of program.
filter='WicDecode.EveryPictureByNameAndFromMemoryIsGetPictureTopDown:WicDecode.DecoderInfoIsTheRegisteredOne'
(cd "$build64" && wine64 ./kxwic_tests.exe --gtest_brief=1 "--gtest_filter=$filter") >"$work/wic64.txt" 2>&1 ||
  { fail "64-bit WIC decode:"; tail -20 "$work/wic64.txt"; }
(cd "$build32" && wine32 ./kxwic_tests.exe --gtest_brief=1 "--gtest_filter=$filter") >"$work/wic32.txt" 2>&1 ||
  { fail "32-bit WIC decode:"; tail -20 "$work/wic32.txt"; }
grep -q "PASSED.* 2 tests" "$work/wic64.txt" || fail "64-bit WIC decode: not 2 tests passed"
grep -q "PASSED.* 2 tests" "$work/wic32.txt" || fail "32-bit WIC decode: not 2 tests passed"

# The installed kxconv.exe: KX to PNG and back, the pixels a viewer sees.
trip=$work/trip
mkdir -p "$trip"
installed_kxconv='C:\Program Files\kxfilter\kxconv.exe'
round_trips=0
for kx in "$data"/*.kx; do
  stem=$(basename "$kx" .kx)
  [ -f "$data/$stem.bmp" ] || continue
  cp "$kx" "$trip/写真-$stem.kx"
  (cd "$trip" && wine64 "$installed_kxconv" decode "写真-$stem.kx" "εικόνα-$stem.png" 2>/dev/null &&
    wine64 "$installed_kxconv" encode "εικόνα-$stem.png" "往復-$stem.kx" &&
    wine64 "$installed_kxconv" decode "往復-$stem.kx" "$stem.bmp") || fail "$stem: the round trip failed"
  cmp -s "$trip/$stem.bmp" "$data/$stem.bmp" || fail "$stem: other pixels after KX, PNG and KX again"
  round_trips=$((round_trips + 1))
done
[ "$round_trips" -gt 0 ] || fail "no round trip ran"
echo "kxconv.exe: $round_trips round trips through PNG"

# Uninstall.
seconds_of wine64 msiexec /x "$(windows_path "$msi")" /qn || fail "msiexec /x exited with $?"
echo "uninstall: $(cat "$work/seconds") s"
snapshot removed
same_as_before removed

# Upgrade: the lower version first, then this one over it.
wine64 msiexec /i "$(windows_path "$old_msi")" /qn || fail "msiexec /i of the older package exited with $?"
cmp -s "$installed/kxconv.exe" "$sph" || fail "the older package's kxconv.exe is not installed"
wine64 msiexec /i "$(windows_path "$msi")" /qn || fail "msiexec /i over the older package exited with $?"
products=$(wine64 reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 2>/dev/null |
  tr -d '\r' | grep -c 'DisplayName    REG_SZ    kxfilter')
[ "$products" -eq 1 ] || fail "after the upgrade, $products products named kxfilter are installed"
wine64 reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 2>/dev/null | tr -d '\r' |
  grep -q "DisplayVersion    REG_SZ    $msi_version\$" || fail "after the upgrade, $msi_version is not the version installed"
cmp -s "$installed/kxconv.exe" "$kxconv" || fail "after the upgrade, kxconv.exe is not the new one"
wine64 msiexec /x "$(windows_path "$msi")" /qn || fail "msiexec /x after the upgrade exited with $?"
snapshot upgraded-removed
same_as_before upgraded-removed

echo "failures: $failures"
[ "$failures" -eq 0 ]

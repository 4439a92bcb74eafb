#!/usr/bin/env bash
# Builds the installer for 64-bit Windows with wixl (dist/kxfilter.wxs) from
# built files, the same bytes for the same inputs wherever and whenever it
# runs:
#
#   make_msi.sh OUT.msi VERSION EPOCH KXCONV_EXE SPI SPH WIC_X86_DLL WIC_X64_DLL
#
# VERSION is the project's version (1.0 installs as 1.0.0); EPOCH, in
# seconds, is the date of every file and the clock that wixl and msibuild
# see (they write the current time into the package, and wixl a random
# package code, which is replaced by one derived from the version and the
# content). The WIC decoder's registry entries come from the table
# DllRegisterServer writes, through wic/registry_idt.cpp, imported as the
# Registry table: wixl cannot express a key without values or a binary
# value.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 8 ] || { echo "usage: make_msi.sh OUT.msi VERSION EPOCH KXCONV_EXE SPI SPH WIC_X86_DLL WIC_X64_DLL" >&2; exit 2; }
out=$(realpath -m "$1")
version=$2
epoch=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
mkdir "$stage"
cp "$4" "$stage/kxconv.exe"
cp "$5" "$stage/kxfilter.spi"
cp "$6" "$stage/kxfilter.sph"
cp "$7" "$stage/kxwic-x86.dll"
cp "$8" "$stage/kxwic-x64.dll"
sed 's/$/\r/' "$root/LICENSE" >"$stage/LICENSE.txt"
sed "s/@VERSION@/$version/; s/\$/\r/" "$root/dist/plug-ins-README.txt" >"$stage/plug-ins-README.txt"
chmod 644 "$stage"/*
touch -d "@$epoch" "$stage"/*

# The installer's version has three numbers.
IFS=. read -r major minor patch _ <<<"$version.0.0"
msi_version=$major.${minor:-0}.${patch:-0}

# A GUID from a hash of stdin, marked as a name-based one.
guid_of_stdin() {
  sha256sum | cut -c1-32 | tr a-f A-F |
    sed 's/^\(.\{8\}\)\(.\{4\}\).\(.\{3\}\).\(.\{3\}\)\(.\{12\}\)$/\1-\2-5\3-8\4-\5/'
}
product_code=$(printf 'kxfilter product code %s\n' "$msi_version" | guid_of_stdin)

c++ -std=c++20 -O1 -I"$root" -I"$root/codec/include" "$root/wic/registry_idt.cpp" -o "$work/registry_idt"
"$work/registry_idt" WicX64 KxwicX64 WicX86 KxwicX86 >"$work/Registry.idt"

package_code=$(
  {
    echo "$msi_version"
    (cd "$stage" && sha256sum -- *)
    sha256sum <"$root/dist/kxfilter.wxs"
    sha256sum <"$work/Registry.idt"
  } | guid_of_stdin
)

clock=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
at_fixed_clock() { TZ=UTC faketime "$clock" "$@"; }
msi=$work/kxfilter.msi
(cd "$work" && at_fixed_clock wixl -a x64 -D "Version=$msi_version" -D "ProductCode=$product_code" -D Stage=stage \
  -o "$msi" "$root/dist/kxfilter.wxs" 2> >(grep -v "no property named 'Platform'\|^$" >&2))
# The registry actions: wixl schedules them only for entries of its own, at
# the places Windows Installer's own sequence has them.
msiinfo export "$msi" InstallExecuteSequence >"$work/InstallExecuteSequence.idt"
for row in "RemoveRegistryValues		2600" "WriteRegistryValues		5000"; do
  grep -q "^${row%%	*}	" "$work/InstallExecuteSequence.idt" || printf '%s\r\n' "$row" >>"$work/InstallExecuteSequence.idt"
done
(cd "$work" && at_fixed_clock msibuild "$msi" -i InstallExecuteSequence.idt -i Registry.idt)
at_fixed_clock msibuild "$msi" -s "kxfilter $version" "the kxfilter authors" "x64;1033" "{$package_code}"
mv "$msi" "$out"
touch -d "@$epoch" "$out"

#!/usr/bin/env bash
# Registers the 64-bit and the 32-bit kxwic.dll in one 64-bit Wine prefix
# with their own regsvr32 and reads the registry back in both views:
#   - each view holds the decoder's class and category entry, with every
#     value, naming its own DLL;
#   - the Explorer entries are in the 64-bit view while either DLL is
#     registered, and unregistering one leaves the other's decoder and them;
#   - unregistering both leaves the registry exactly as it was before (an
#     export of HKLM\Software compared), also when a user had chosen a
#     default program for .kx, which stays.
#
#   check_registration.sh WINE_RUN PREFIX DLL64 DLL32 VERSION
#
# VERSION: the project's, four numbers (1.0.0.0), which the decoder's
# Version value must say.
set -uo pipefail
wine_run=$1
prefix=$2
dll64=$3
dll32=$4
version=$5
if [ ! -f "$dll32" ]; then
  echo "no 32-bit kxwic.dll at $dll32: build the win32 preset first"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

wine64() { "$wine_run" --prefix "$prefix" --wine64 "$@" | tr -d '\r'; }
wine32() { "$wine_run" --prefix "$prefix" "$@" | tr -d '\r'; }
register64() { wine64 regsvr32 /s "$@" "Z:$dll64"; }
register32() { wine32 regsvr32 /s "$@" "Z:$dll32"; }
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

clsid='{6B0F06AD-041E-4829-AC58-26F68853CC4C}'
classes='HKEY_LOCAL_MACHINE\Software\Classes'
decoder="$classes\\CLSID\\$clsid"
instance="$classes\\CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\$clsid"

# The whole tree of KEY in VIEW (32 or 64) as reg query prints it.
tree() { wine64 reg query "$2" /s "/reg:$1" 2>/dev/null; }

# expect_value VIEW KEY NAME TYPE DATA: the value is there, as given.
expect_value() {
  local got
  got=$(wine64 reg query "$2" /v "$3" "/reg:$1" 2>/dev/null | awk -v n="$3" '
    { line = $0; sub(/^    /, "", line) }
    index(line, n "    ") == 1 { print substr(line, length(n) + 5) }')
  [ "$got" = "$4    $5" ] || fail "/reg:$1 $2 [$3]: got '$got', want '$4    $5'"
}
expect_default() {
  local got
  got=$(wine64 reg query "$2" /ve "/reg:$1" 2>/dev/null | sed -n 's/^    (Default)    //p')
  [ "$got" = "$3    $4" ] || fail "/reg:$1 $2 (Default): got '$got', want '$3    $4'"
}
expect_key() { wine64 reg query "$2" "/reg:$1" >/dev/null 2>&1 || fail "/reg:$1 $2 is missing"; }
expect_no_key() { ! wine64 reg query "$2" "/reg:$1" >/dev/null 2>&1 || fail "/reg:$1 $2 is still there"; }

decoder_registered() {  # VIEW DLL
  local view=$1 dll
  dll=$(windows_path "$2")
  expect_value "$view" "$instance" CLSID REG_SZ "$clsid"
  expect_value "$view" "$instance" FriendlyName REG_SZ "KX Decoder"
  for pair in "FriendlyName|KX Decoder" "Author|kxfilter" "Vendor|{E2FB94CB-7456-4F55-86EB-66D0A0F94B2D}" \
              "Version|$version" "ContainerFormat|{B2F140B5-F6CD-419E-824E-8DD3AAF6F2A8}" "MimeTypes|image/x-kx" \
              "FileExtensions|.kx"; do
    expect_value "$view" "$decoder" "${pair%%|*}" REG_SZ "${pair#*|}"
  done
  for pair in SupportAnimation:0x0 SupportChromakey:0x0 SupportMultiframe:0x0 SupportLossless:0x1; do
    expect_value "$view" "$decoder" "${pair%%:*}" REG_DWORD "${pair#*:}"
  done
  expect_key "$view" "$decoder\\Formats\\{6FDDC324-4E03-4BFE-B185-3D77768DC90C}"
  expect_default "$view" "$decoder\\InprocServer32" REG_SZ "$dll"
  expect_value "$view" "$decoder\\InprocServer32" ThreadingModel REG_SZ Both
  expect_value "$view" "$decoder\\Patterns\\0" Position REG_DWORD 0x0
  expect_value "$view" "$decoder\\Patterns\\0" Length REG_DWORD 0x4
  expect_value "$view" "$decoder\\Patterns\\0" Pattern REG_BINARY 4B588303
  expect_value "$view" "$decoder\\Patterns\\0" Mask REG_BINARY FFFFFFFF
  expect_value "$view" "$decoder\\Patterns\\0" EndOfStream REG_DWORD 0x0
}
decoder_unregistered() {  # VIEW
  expect_no_key "$1" "$decoder"
  expect_no_key "$1" "$instance"
}
explorer_registered() {
  expect_value 64 "$classes\\.kx" "Content Type" REG_SZ image/x-kx
  expect_value 64 "$classes\\.kx" PerceivedType REG_SZ image
  expect_default 64 "$classes\\SystemFileAssociations\\.kx\\ShellEx\\{e357fccd-a995-4576-b01f-234630154e96}" REG_SZ \
    "{C7657C4A-9F68-40fa-A4DF-96BC08EB3551}"
  expect_value 64 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Explorer\KindMap' .kx REG_SZ picture
  expect_value 64 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows Photo Viewer\Capabilities\FileAssociations' .kx \
    REG_SZ PhotoViewer.FileAssoc.Tiff
}
snapshot() {
  wine64 reg export 'HKLM\Software' "$(windows_path "$work/$1.reg")" /y /reg:64 >/dev/null
  # An export that failed would compare equal to another.
  grep -qa 'C.l.a.s.s.e.s' "$work/$1.reg" || fail "no export of HKLM\Software ($1)"
}
expect_same_registry() {  # BEFORE AFTER
  if ! diff <(iconv -f UTF-16LE -t UTF-8 "$work/$1.reg") <(iconv -f UTF-16LE -t UTF-8 "$work/$2.reg") >"$work/diff"; then
    fail "the registry after unregistering differs from before:"
    head -40 "$work/diff"
  fi
}

# A prefix without either registration, then its registry as it is.
register64 /u
register32 /u
snapshot clean

echo "== both registered"
register64 || fail "registering the 64-bit DLL"
register32 || fail "registering the 32-bit DLL"
decoder_registered 64 "$dll64"
decoder_registered 32 "$dll32"
explorer_registered
# Nothing of the decoder's class in the shared keys' 32-bit side but the
# shared keys themselves: the class is per view.
[ "$(tree 32 "$decoder\\InprocServer32")" != "$(tree 64 "$decoder\\InprocServer32")" ] ||
  fail "both views name the same DLL"

echo "== the 32-bit one unregistered"
register32 /u || fail "unregistering the 32-bit DLL"
decoder_unregistered 32
decoder_registered 64 "$dll64"
explorer_registered

echo "== the 32-bit one registered again, the 64-bit one unregistered"
register32 || fail "registering the 32-bit DLL again"
register64 /u || fail "unregistering the 64-bit DLL"
decoder_unregistered 64
decoder_registered 32 "$dll32"
explorer_registered

echo "== both unregistered"
register32 /u || fail "unregistering the 32-bit DLL"
decoder_unregistered 32
decoder_unregistered 64
expect_no_key 64 "$classes\\.kx"
expect_no_key 64 "$classes\\SystemFileAssociations\\.kx"
snapshot after
expect_same_registry clean after

echo "== a user's default program for .kx stays"
wine64 reg add "$classes\\.kx" /ve /d UserViewer.kx /f /reg:64 >/dev/null || fail "setting a default program"
snapshot chosen
register64 || fail "registering the 64-bit DLL"
register32 || fail "registering the 32-bit DLL"
explorer_registered
expect_default 64 "$classes\\.kx" REG_SZ UserViewer.kx
register64 /u
register32 /u
expect_default 64 "$classes\\.kx" REG_SZ UserViewer.kx
snapshot chosen_after
expect_same_registry chosen chosen_after
wine64 reg delete "$classes\\.kx" /f /reg:64 >/dev/null

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "registration: every value in both views; each DLL's removal leaves the other's; nothing of ours remains"

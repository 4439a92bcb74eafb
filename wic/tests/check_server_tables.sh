#!/usr/bin/env bash
# Fails unless kxwic.dll exports exactly the four entry points of an
# in-process COM server, undecorated, imports from system DLLs only (no C++
# runtime, no threads library, no WIC import: windowscodecs is reached
# through COM), has no thread-local storage and is built for the given
# machine (objdump's name: pei-i386 or pei-x86-64).
# Usage: check_server_tables.sh OBJDUMP DLL MACHINE
set -euo pipefail
objdump=$1
dll=$2
want_machine=$3
tables=$("$objdump" -p "$dll")

exports=$(printf '%s\n' "$tables" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          { grep -E '^\s+\[ *[0-9]+\] ' || true; } | awk '{print $NF}' | sort | tr '\n' ' ')
want="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
if [ "$exports" != "$want" ]; then
  echo "exports: got '$exports', want '$want'"
  exit 1
fi

imports=$(printf '%s\n' "$tables" | { grep 'DLL Name:' || true; } | awk '{print $3}' | sort -u | tr '\n' ' ')
[ -n "$imports" ] || { echo "no imports read from $dll"; exit 1; }
for dll_name in $imports; do
  case "$dll_name" in
    KERNEL32.dll|ADVAPI32.dll|ole32.dll|OLEAUT32.dll|SHELL32.dll|msvcrt.dll) ;;
    *) echo "imports from $dll_name: only system DLLs are allowed"; exit 1 ;;
  esac
done

tls=$(printf '%s\n' "$tables" | { grep 'Thread Storage Directory' || true; } | awk '{print $3, $4}')
if [ -n "$tls" ] && ! [[ "$tls" =~ ^0+\ 0+$ ]]; then
  echo "the DLL has thread-local storage: $tls"
  exit 1
fi
machine=$(printf '%s\n' "$tables" | grep -m1 'file format' | awk '{print $NF}')
if [ "$machine" != "$want_machine" ]; then
  echo "not a $want_machine DLL: $machine"
  exit 1
fi
echo "$machine; exports: $exports; imports: $imports; no TLS"

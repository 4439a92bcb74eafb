#!/usr/bin/env bash
# Fails unless the module exports exactly the given entry points, undecorated,
# imports from KERNEL32.dll and msvcrt.dll only, has no thread-local storage
# and is built for the given machine (objdump's name: pei-i386 for
# kxfilter.spi, pei-x86-64 for kxfilter.sph).
# Usage: check_module_tables.sh OBJDUMP MODULE MACHINE NAME...
set -euo pipefail
objdump=$1
module=$2
want_machine=$3
shift 3
tables=$("$objdump" -p "$module")

exports=$(printf '%s\n' "$tables" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          { grep -E '^\s+\[ *[0-9]+\] ' || true; } | awk '{print $NF}' | sort | tr '\n' ' ')
want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
if [ "$exports" != "$want" ]; then
  echo "exports: got '$exports', want '$want'"
  exit 1
fi

imports=$(printf '%s\n' "$tables" | { grep 'DLL Name:' || true; } | awk '{print $3}' | sort -u | tr '\n' ' ')
for dll in $imports; do
  case "$dll" in
    KERNEL32.dll|msvcrt.dll) ;;
    *) echo "imports from $dll: only KERNEL32.dll and msvcrt.dll are allowed"; exit 1 ;;
  esac
done

tls=$(printf '%s\n' "$tables" | { grep 'Thread Storage Directory' || true; } | awk '{print $3, $4}')
if [ -n "$tls" ] && ! [[ "$tls" =~ ^0+\ 0+$ ]]; then
  echo "the module has thread-local storage: $tls"
  exit 1
fi
machine=$(printf '%s\n' "$tables" | grep -m1 'file format' | awk '{print $NF}')
if [ "$machine" != "$want_machine" ]; then
  echo "not a $want_machine module: $machine"
  exit 1
fi
echo "$machine; exports: $exports; imports: $imports; no TLS"

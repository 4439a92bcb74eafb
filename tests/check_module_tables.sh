#!/usr/bin/env bash
# Fails unless a Windows module (the plug-in, the WIC DLL) exports exactly
# the given entry points, undecorated, imports from the allowed system DLLs
# only, has no thread-local storage (a module loaded into a host's process
# late must not need the loader to set any up) and is built for the given
# machine (objdump's name: pei-i386 or pei-x86-64).
# Usage: check_module_tables.sh OBJDUMP MODULE MACHINE [--imports "DLL..."] NAME...
# The allowed imports are KERNEL32.dll and msvcrt.dll unless given.
set -euo pipefail
objdump=$1
module=$2
want_machine=$3
shift 3
allowed="KERNEL32.dll msvcrt.dll"
if [ "${1:-}" = --imports ]; then
  allowed=$2
  shift 2
fi
tables=$("$objdump" -p "$module")

exports=$(printf '%s\n' "$tables" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          { grep -E '^\s+\[ *[0-9]+\] ' || true; } | awk '{print $NF}' | sort | tr '\n' ' ')
want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
if [ "$exports" != "$want" ]; then
  echo "exports: got '$exports', want '$want'"
  exit 1
fi

imports=$(printf '%s\n' "$tables" | { grep 'DLL Name:' || true; } | awk '{print $3}' | sort -u | tr '\n' ' ')
[ -n "$imports" ] || { echo "no imports read from $module"; exit 1; }
for dll in $imports; do
  if [[ " $allowed " != *" $dll "* ]]; then
    echo "imports from $dll: only $allowed are allowed"
    exit 1
  fi
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

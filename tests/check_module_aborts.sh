#!/usr/bin/env bash
# Fails when the module imports anything that ends the process it runs in
# (assertion handlers, abort, exit): a plug-in must return to its host
# whatever happens. Usage: check_module_aborts.sh OBJDUMP MODULE
set -euo pipefail
tables=$("$1" -p "$2")
# An import table that was not read would pass any check.
grep -q 'DLL Name: KERNEL32.dll' <<<"$tables" || { echo "no imports read from $2"; exit 1; }
found=$(printf '%s\n' "$tables" |
        grep -oE '^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+(_assert|_wassert|abort|exit|_exit|ExitProcess|TerminateProcess)$' |
        awk '{print $3}' | tr '\n' ' ' || true)
if [ -n "$found" ]; then
  echo "imports that end the process: $found"
  exit 1
fi
echo "no import ends the process"

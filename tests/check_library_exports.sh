#!/usr/bin/env bash
# Fails unless the shared library defines exactly the given dynamic symbols:
# every entry point, and nothing else a host could bind to or be bound by.
# Usage: check_library_exports.sh NM LIBRARY NAME...
set -euo pipefail
nm=$1
library=$2
shift 2
want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
got=$("$nm" -D --defined-only "$library" | awk '{print $NF}' | sed 's/@.*//' | sort | tr '\n' ' ')
if [ "$got" != "$want" ]; then
  echo "dynamic symbols of $library:"
  echo "  got:  $got"
  echo "  want: $want"
  exit 1
fi
echo "exports: $got"

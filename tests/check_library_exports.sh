#!/usr/bin/env bash
# Fails unless the shared library defines exactly the given dynamic symbols:
# every entry point, and nothing else a host could bind to or be bound by.
# With --node NODE, each must also be bound to that version node (NAME@@NODE),
# and the node itself is the one other symbol allowed.
# Usage: check_library_exports.sh [--node NODE] NM LIBRARY NAME...
set -euo pipefail
node=
if [ "${1:-}" = --node ]; then
  node=$2
  shift 2
fi
nm=$1
library=$2
shift 2
symbols=$("$nm" -D --defined-only "$library" | awk '{print $NF}')
if [ -n "$node" ]; then
  want=$( (for name in "$@"; do echo "$name@@$node"; done; echo "$node") | sort | tr '\n' ' ')
  got=$(echo "$symbols" | sort | tr '\n' ' ')
else
  want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
  got=$(echo "$symbols" | sed 's/@.*//' | sort | tr '\n' ' ')
fi
if [ "$got" != "$want" ]; then
  echo "dynamic symbols of $library:"
  echo "  got:  $got"
  echo "  want: $want"
  exit 1
fi
echo "exports: $got"

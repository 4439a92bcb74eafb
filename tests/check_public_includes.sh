#!/usr/bin/env bash
# Fails when code in the given folders includes a header of the codec or
# the writer other than the public one (kx.h): the loaders and the tools
# are the library's first users, and use only what any other program can.
#
#   check_public_includes.sh FOLDER...
set -euo pipefail
found=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](codec|writer)/' "$@" \
  --include='*.c' --include='*.cc' --include='*.cpp' --include='*.h' --include='*.hpp' || true)
if [ -n "$found" ]; then
  echo "includes codec or writer internals:"
  echo "$found"
  exit 1
fi
echo "only the public header in: $*"

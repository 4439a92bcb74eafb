#!/usr/bin/env bash
# Fails when a shipped library holds code of the tests or of test hosts: the
# stand-in's controls and counters (StandIn...) or the host helpers
# (Host...), among its dynamic or its local symbols alike. The library is
# read as built, before any stripping, so a local function that the export
# list hides still shows.
# Usage: check_no_test_symbols.sh NM LIBRARY...
set -euo pipefail
nm=$1
shift
status=0
for library in "$@"; do
  # The function's own name: what precedes its parameters, after its scope.
  found=$("$nm" -C "$library" | awk '{ $1 = ""; print }' | sed 's/(.*//' |
          grep -E '(^|[ :])(StandIn|Host)[A-Z][A-Za-z0-9_]*$' || true)
  if [ -n "$found" ]; then
    echo "test symbols in $library:"
    echo "$found" | sed 's/^/  /'
    echo "refused: $(grep -c 'StandIn' <<<"$found" || true) StandIn, $(grep -c 'Host' <<<"$found" || true) Host"
    status=1
  else
    echo "no test symbols in $library"
  fi
done
exit $status

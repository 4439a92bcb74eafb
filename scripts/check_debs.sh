#!/usr/bin/env bash
# Builds the Debian packages of HEAD twice (scripts/build_debs.sh), in two
# fresh clones in different folders under build/debs-check, the second
# later, in another time zone and with another umask, and compares every
# .deb byte for byte, the debug-symbol packages included. A release runs
# it; the test command builds once (scripts/build_debs.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD/build/debs-check
rm -rf "$top"
mkdir -p "$top"
# Both builds of the same commit, whatever is committed meanwhile.
export KX_DEBS_REV
KX_DEBS_REV=$(git rev-parse "${KX_DEBS_REV:-HEAD}")
scripts/build_debs.sh "$top/a" >/dev/null || { echo "FAIL: the first build"; exit 1; }
sleep 2  # at least one second later: a time stamp anywhere would differ
(umask 077 && TZ=Asia/Tokyo scripts/build_debs.sh "$top/the-second-build/b" >/dev/null) ||
  { echo "FAIL: the second build"; exit 1; }

failures=0
compared=0
names=$(cd "$top/a" && ls ./*.deb)
if [ "$names" != "$(cd "$top/the-second-build/b" && ls ./*.deb)" ]; then
  echo "FAIL: the builds made different packages"
  exit 1
fi
for deb in $names; do
  a=$top/a/$deb
  b=$top/the-second-build/b/$deb
  if ! cmp -s "$a" "$b"; then
    echo "FAIL: $deb differs: $(cmp "$a" "$b" 2>&1 | head -1)"
    failures=$((failures + 1))
  else
    echo "same: ${deb#./} ($(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -c1-16))"
  fi
  compared=$((compared + 1))
done
echo "debs check: $compared packages compared, $failures differ"
[ "$failures" -eq 0 ] && rm -rf "$top"
[ "$failures" -eq 0 ] && [ "$compared" -gt 0 ]

#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, with a prefix of its own inside
# the build folder (WINEPREFIX may point elsewhere). The first start creates
# the prefix; a lock keeps concurrent first starts from racing.
set -euo pipefail
if [ "${1:-}" = "--prefix" ]; then
  WINEPREFIX=$2
  shift 2
fi
: "${WINEPREFIX:=$PWD/wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1 || true; wineserver -w || true; }
  ) 9>"$WINEPREFIX.lock"
fi
# A server that stays 10 s after its last program: one that exits while the
# next program connects loses that program ("wine client error:0: recvmsg:
# Connection reset by peer"), which failed about one run of the Windows
# tests in five. (Exit status 2: a server is running already.)
wineserver -p10 >/dev/null 2>&1 || true
exec wine "$@"

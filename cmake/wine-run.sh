#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, with a prefix of its own inside
# the build folder (WINEPREFIX may point elsewhere). The first start creates
# the prefix; a lock keeps concurrent first starts from racing.
#
#   wine-run.sh [--prefix DIR] [--wine64] [--no-input] PROGRAM ARGS...
#
# A 64-bit program (PE machine type x86-64) runs under 64-bit Wine, anything
# else under the 32-bit loader; --wine64 asks for 64-bit Wine whatever the
# program is (for Wine's own programs, named rather than given by path).
# --no-input gives the program no standard input (tests run by CTest).
set -euo pipefail
loader=wine
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) WINEPREFIX=$2; shift 2 ;;
    --wine64) loader=wine64; shift ;;
    --no-input) exec </dev/null; shift ;;
    *) break ;;
  esac
done
: "${WINEPREFIX:=$PWD/wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine spells Windows file names in the Unix locale's character set, and
# only UTF-8 holds every name (pictures named in Japanese, Greek, with an
# emoji): without a UTF-8 locale such names cannot even be made. C.UTF-8 is
# on every Debian system; a UTF-8 locale given (any language) is kept.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
  export LC_ALL=C.UTF-8
fi

# The machine type: two little-endian bytes after "PE\0\0", whose offset is
# at 0x3C. 0x8664 is x86-64.
pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [ -n "$at" ] && od -An -tx2 -j$((at + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
if [ $# -gt 0 ] && [ -f "$1" ] && [ "$(pe_machine "$1")" = 8664 ]; then
  loader=wine64
fi
# Debian installs the 64-bit loader beside the 32-bit one, not on PATH.
wine64_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
[ "$loader" = wine64 ] && loader=$wine64_loader

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

# Once in a few thousand starts here a Wine process failed having printed
# nothing at all: no line of the program's (a test prints at least its
# filter) and no message of Wine's. Such a start is made again once, and
# counted in "$WINEPREFIX.silent-starts" for the test command to report; a
# program that really fails silently fails the second time too. A program
# reading a pipe is not run twice: its input is spent.
if [ -p /dev/stdin ]; then
  exec "$loader" "$@"
fi
# The output goes to files, passed on as it comes (so a test that hangs
# still shows what it printed): not through pipes, which Wine's services,
# started with the first program of a server, inherit and hold open until
# the server ends, 10 s later.
seen=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
program_pid=
trap 'rm -rf "$seen"' EXIT
trap '[ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null; exit 143' TERM INT
if ( exec 4<&0 ) 2>/dev/null; then
  exec 3<&0
else
  exec 3</dev/null  # a closed standard input stays empty
fi
run_watched() {
  : >"$seen/out"
  : >"$seen/err"
  "$loader" "$@" <&3 >"$seen/out" 2>"$seen/err" &
  program_pid=$!
  tail -n +1 -s 0.05 -f --pid="$program_pid" "$seen/out" &
  local out_pid=$!
  tail -n +1 -s 0.05 -f --pid="$program_pid" "$seen/err" >&2 &
  local err_pid=$!
  local status=0
  wait "$program_pid" || status=$?
  wait "$out_pid" "$err_pid" || true
  program_pid=
  return "$status"
}
status=0
run_watched "$@" || status=$?
if [ "$status" -ne 0 ] && [ ! -s "$seen/out" ] && [ ! -s "$seen/err" ]; then
  echo "$(basename "$1") $status" >>"$WINEPREFIX.silent-starts"
  echo "wine-run: $(basename "$1") failed (status $status) having printed nothing; made again once" >&2
  status=0
  run_watched "$@" || status=$?
fi
exit "$status"

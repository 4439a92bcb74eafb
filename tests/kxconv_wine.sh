#!/usr/bin/env bash
# Runs the Windows kxconv.exe under Wine in place of the native kxconv, for
# the native kxconv tests (KXCONV_UNDER_TEST): KXCONV_EXE is the program,
# KXCONV_WINEPREFIX its Wine prefix. The tests run it from their folder with
# relative names, which Wine resolves on drive Z: as the native program
# would. Windows writes text with CR LF line ends; the tests compare lines.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
captured=$(mktemp -d)
# A pipe on standard input (kxconv decode -) goes to the program; anything
# else is no input for it.
input=(--no-input)
[ -p /dev/stdin ] && input=()
"$here/../cmake/wine-run.sh" --prefix "${KXCONV_WINEPREFIX:?}" "${input[@]}" "${KXCONV_EXE:?}" "$@" >"$captured/out" 2>"$captured/err"
status=$?
sed 's/\r$//' "$captured/out"
sed 's/\r$//' "$captured/err" >&2
rm -rf "$captured"
exit $status

#!/usr/bin/env bash
# cmake/wine-run.sh against a stand-in for Wine (first on PATH): a start
# that fails having printed nothing is made again once and counted; a
# failure that prints, a success that prints nothing and a second silent
# failure are passed on as they are; the program's output and standard
# input reach it unchanged, and --no-input gives it none.
#
#   check_wine_run.sh WINE_RUN
set -uo pipefail
wine_run=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/prefix"
touch "$work/prefix/system.reg"  # a prefix made already: no wineboot
printf '#!/bin/sh\nexit 0\n' >"$work/bin/wineserver"
# The stand-in's behaviour per start, from a script of lines "STATUS OUT":
# start N uses line N (the last line once they run out); OUT "-" prints
# nothing, "stdin" prints what it reads, anything else prints that word on
# stdout and "note" on stderr.
cat >"$work/bin/wine" <<'STANDIN'
#!/bin/sh
n=$(($(cat "$STANDIN_DIR/starts" 2>/dev/null || echo 0) + 1))
echo "$n" >"$STANDIN_DIR/starts"
line=$(sed -n "${n}p" "$STANDIN_DIR/script")
[ -n "$line" ] || line=$(tail -n 1 "$STANDIN_DIR/script")
status=${line%% *}
out=${line#* }
case "$out" in
  -) ;;
  stdin) cat ;;
  *) echo "$out"; echo note >&2 ;;
esac
exit "$status"
STANDIN
chmod +x "$work/bin/wine" "$work/bin/wineserver"
export STANDIN_DIR=$work PATH="$work/bin:$PATH"

failed=0
# name | script lines (";" between) | wine-run options | stdin | want status | want stdout | want starts | want counted
cases=(
  "a silent failure is made again|5 -;0 hello||/dev/null|0|hello|2|1"
  "a silent failure twice stays one|5 -;7 -||/dev/null|7||2|1"
  "a failure that prints is not made again|3 oops;0 hello||/dev/null|3|oops|1|0"
  "a silent success is not made again|0 -;0 hello||/dev/null|0||1|0"
  "standard input reaches the program|0 stdin||$work/input|0|from the file|1|0"
  "--no-input gives it none|0 stdin|--no-input|$work/input|0||1|0"
)
echo "from the file" >"$work/input"
for c in "${cases[@]}"; do
  IFS='|' read -r name script options input want_status want_out want_starts want_counted <<<"$c"
  printf '%s\n' "${script//;/$'\n'}" >"$work/script"
  rm -f "$work/starts" "$work/prefix.silent-starts"
  # shellcheck disable=SC2086
  out=$("$wine_run" --prefix "$work/prefix" $options program.exe <"$input" 2>"$work/err")
  status=$?
  starts=$(cat "$work/starts")
  counted=$(cat "$work/prefix.silent-starts" 2>/dev/null | wc -l)
  got="status $status, stdout '$out', $starts starts, $counted counted"
  want="status $want_status, stdout '$want_out', $want_starts starts, $want_counted counted"
  if [ "$got" != "$want" ]; then
    echo "FAIL: $name: got $got; want $want"
    failed=1
  fi
done
# A pipe is never read twice: a silent failure reading one is passed on.
printf '%s\n' "5 -" "0 hello" >"$work/script"
rm -f "$work/starts"
echo piped | "$wine_run" --prefix "$work/prefix" program.exe >/dev/null 2>&1
status=$?
[ "$status" = 5 ] && [ "$(cat "$work/starts")" = 1 ] || { echo "FAIL: a program reading a pipe was run again"; failed=1; }
[ $failed = 0 ] && echo "wine-run: $((${#cases[@]} + 1)) cases as expected"
exit $failed

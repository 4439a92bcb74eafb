#!/usr/bin/env bash
# End-to-end: every sample picture through spihost, natively with
# libkxfilter.so and under Wine with the real kxfilter.spi, in every mode a
# viewer uses. Every host must print the same lines and write the same BMP
# bytes; a native build with the sanitizers fails on any report they make.
#
#   compare_hosts.sh NATIVE_BUILD_DIR... WIN32_BUILD_DIR
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: compare_hosts.sh NATIVE_BUILD_DIR... WIN32_BUILD_DIR" >&2
  exit 2
fi
natives=()
while [ $# -gt 1 ]; do
  natives+=("$(cd "$1" && pwd)")
  shift
done
win32=$(cd "$1" && pwd)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
work=$(mktemp -d)
mkdir "$work/native" "$work/wine"
wine_run=("$(cd "$(dirname "$0")/.." && pwd)/cmake/wine-run.sh" --prefix "$win32/wineprefix")

# One persistent Wine server, and Wine's own services, for the whole run
# instead of one per start. They are started here with their output going
# nowhere: started inside a $(...) they would hold its pipe open. The prefix
# belongs to this build folder, so a server left in it is ours.
"${wine_run[@]}" cmd /c exit >/dev/null 2>&1 || true
WINEPREFIX="$win32/wineprefix" wineserver -k >/dev/null 2>&1 || true
WINEPREFIX="$win32/wineprefix" wineserver -p >/dev/null 2>&1
"${wine_run[@]}" cmd /c exit >/dev/null 2>&1 || true
trap 'WINEPREFIX="$win32/wineprefix" wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

"${natives[0]}/tests/make_samples" "$work"
# A picture inside another file, for the offset that viewers pass in len.
head -c 777 /dev/urandom >"$work/container.bin"
cat "$work/gradient-333x129.kx" >>"$work/container.bin"

passed=0
failed=0
run_case() {  # name, then spihost options
  local name=$1
  shift
  local native native_out wine_out
  # Each host writes out.bmp in a folder of its own, so all print the same.
  wine_out=$(cd "$work/wine" && "${wine_run[@]}" "$win32/tools/spihost.exe" "$@" "$win32/kxfilter.spi" "../$name" out.bmp 2>&1 | tr -d '\r') || true
  for native in "${natives[@]}"; do
    native_out=$(cd "$work/native" && "$native/tools/spihost" "$@" "$native/libkxfilter.so" "../$name" out.bmp 2>&1) || true
    if [ "$native_out" != "$wine_out" ]; then
      echo "DIFFERENT OUTPUT: $name $* ($native)"
      diff <(echo "$native_out") <(echo "$wine_out") || true
      failed=$((failed + 1))
    elif [ -f "$work/wine/out.bmp" ] && ! cmp -s "$work/native/out.bmp" "$work/wine/out.bmp"; then
      echo "DIFFERENT BITMAP: $name $* ($native)"
      failed=$((failed + 1))
    else
      passed=$((passed + 1))
    fi
    rm -f "$work/native/out.bmp"
  done
  rm -f "$work/wine/out.bmp"
}

for sample in "$work"/*.kx "$work"/*.bin "$work"/*.ico; do
  name=$(basename "$sample")
  [ "$name" = container.bin ] && continue
  run_case "$name"
  run_case "$name" --memory
  run_case "$name" --handle --cancel
done
run_case container.bin --offset 777
run_case container.bin --offset 777 --memory --handle

# The info texts.
wine_texts=$("${wine_run[@]}" "$win32/tools/spihost.exe" "$win32/kxfilter.spi" | tr -d '\r')
for native in "${natives[@]}"; do
  if [ "$("$native/tools/spihost" "$native/libkxfilter.so" 2>&1)" = "$wine_texts" ]; then
    passed=$((passed + 1))
  else
    echo "DIFFERENT INFO TEXTS ($native)"
    failed=$((failed + 1))
  fi
done
echo "hosts: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

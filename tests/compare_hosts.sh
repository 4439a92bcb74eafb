#!/usr/bin/env bash
# End-to-end: every sample picture through spihost, natively with
# libkxfilter.so, under 32-bit Wine with the real kxfilter.spi and under
# 64-bit Wine with the real kxfilter.sph, each in the ANSI and the wide
# form (--wide), in every mode a viewer uses. Every host must print the same
# lines and write the same BMP bytes as the first native build's ANSI form; a
# native build with the sanitizers fails on any report they make.
#
#   compare_hosts.sh BUILD_DIR...
#
# Each build folder is told by its module: libkxfilter.so (native),
# kxfilter.spi (32-bit Windows) or kxfilter.sph (64-bit Windows). The first
# must be a native one.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: compare_hosts.sh NATIVE_BUILD_DIR BUILD_DIR..." >&2
  exit 2
fi
wine_run="$(cd "$(dirname "$0")/.." && pwd)/cmake/wine-run.sh"
hosts=()    # "<build dir>|<module>|native" or "<build dir>|<module>|<Windows host>"
prefixes=()
for dir in "$@"; do
  dir=$(cd "$dir" && pwd)
  if [ -f "$dir/libkxfilter.so" ]; then
    hosts+=("$dir|libkxfilter.so|native")
  elif [ -f "$dir/kxfilter.spi" ]; then
    hosts+=("$dir|kxfilter.spi|spihost.exe")
    prefixes+=("$dir/wineprefix")
  elif [ -f "$dir/kxfilter.sph" ]; then
    hosts+=("$dir|kxfilter.sph|spihost64.exe")
    prefixes+=("$dir/wineprefix")
  else
    echo "compare_hosts.sh: no module in $dir" >&2
    exit 2
  fi
done
case "${hosts[0]}" in
  *"|native") ;;
  *) echo "compare_hosts.sh: the first build must be a native one" >&2; exit 2 ;;
esac
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# A UTF-8 locale of no language: Wine then takes the Western code page
# (1252), which spells the accented name below and none of the others.
export LC_ALL=C.UTF-8
work=$(mktemp -d)

# One persistent Wine server, and Wine's own services, per prefix for the
# whole run instead of one per start. They are started here with their
# output going nowhere: started inside a $(...) they would hold its pipe
# open. The prefixes belong to these build folders, so servers left in them
# are ours.
stop_servers() {
  local prefix
  for prefix in "${prefixes[@]}"; do WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true; done
}
for prefix in "${prefixes[@]}"; do
  "$wine_run" --prefix "$prefix" cmd /c exit >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" wineserver -p >/dev/null 2>&1
  "$wine_run" --prefix "$prefix" cmd /c exit >/dev/null 2>&1 || true
done
trap 'stop_servers; rm -rf "$work"' EXIT

native0=${hosts[0]%%|*}
mkdir "$work/pictures"
"$native0/tests/make_samples" "$work/pictures"
# A picture inside another file, for the offset that viewers pass in len.
head -c 777 /dev/urandom >"$work/pictures/container.bin"
cat "$work/pictures/gradient-333x129.kx" >>"$work/pictures/container.bin"
# A name the Western code page spells, for both forms; names outside every
# ANSI code page's reach at once, for the wide form.
accented_name="café déjà vu.kx"
cp "$work/pictures/gradient-333x129.kx" "$work/pictures/$accented_name"
unicode_name="写真 φωτογραφία café 😀.kx"
mkdir "$work/pictures/フォルダ Übersicht"
cp "$work/pictures/tokens-64x67.kx" "$work/pictures/$unicode_name"
cp "$work/pictures/gradient-333x129.kx" "$work/pictures/フォルダ Übersicht/$unicode_name"

# Runs spihost of one host in one form from a folder of its own, so that
# every host prints the same "wrote: out.bmp" line. The picture is named
# relative to that folder.
run_host() {  # host, form (ansi|wide), picture, spihost options...
  local host=$1 form=$2 picture=$3
  shift 3
  local dir=${host%%|*} rest=${host#*|}
  local module=${rest%%|*} kind=${rest#*|}  # kind: native, or the Windows host's name
  local options=("$@")
  [ "$form" = wide ] && options+=(--wide)
  local out="$work/out/$(basename "$dir")-$form"
  rm -rf "$out" && mkdir -p "$out"
  if [ "$kind" = native ]; then
    (cd "$out" && "$dir/tools/spihost" "${options[@]}" "$dir/$module" ${picture:+"../../pictures/$picture" out.bmp} 2>&1)
  else
    (cd "$out" && "$wine_run" --prefix "$dir/wineprefix" "$dir/tools/$kind" "${options[@]}" "$dir/$module" \
       ${picture:+"../../pictures/$picture" out.bmp} 2>&1 | tr -d '\r')
  fi
}

exists() { if [ -f "$1" ]; then echo yes; else echo no; fi; }

passed=0
failed=0
reruns=0
silent_reruns=0
# Every host in every form given against the first one's first form.
compare() {  # forms ("ansi wide" or "wide"), picture ("" for the info texts), spihost options...
  local forms=$1 picture=$2
  shift 2
  local first=1 reference host form output bmp where
  for host in "${hosts[@]}"; do
    for form in $forms; do
      output=$(run_host "$host" "$form" "$picture" "$@") || true
      # Now and then (a few in ten thousand starts, on this machine) glibc's
      # loader fails an assertion while a process exits, after everything
      # was printed: a fault of the exit, not of any output. Such a run is
      # made again once, and counted.
      if [[ "$output" == *"Inconsistency detected by ld.so"* ]]; then
        reruns=$((reruns + 1))
        output=$(run_host "$host" "$form" "$picture" "$@") || true
      fi
      # Once in a few thousand starts here a Wine process printed nothing at
      # all: not one line of spihost's, which prints at least one whatever
      # the picture, and no message of Wine's. Made again once, and counted;
      # a host that really prints nothing fails the second time too.
      if [ -z "$output" ] && [ "${host##*|}" != native ]; then
        silent_reruns=$((silent_reruns + 1))
        output=$(run_host "$host" "$form" "$picture" "$@") || true
      fi
      bmp="$work/out/$(basename "${host%%|*}")-$form/out.bmp"
      where="${picture:-info texts} $* ($(basename "${host%%|*}"), $form)"
      if [ $first = 1 ]; then
        first=0
        reference=$output
        rm -f "$work/reference.bmp"
        if [ -f "$bmp" ]; then cp "$bmp" "$work/reference.bmp"; fi
      elif [ "$output" != "$reference" ]; then
        echo "DIFFERENT OUTPUT: $where"
        diff <(echo "$reference") <(echo "$output") || true
        failed=$((failed + 1))
      elif [ "$(exists "$bmp")" != "$(exists "$work/reference.bmp")" ] ||
           { [ -f "$bmp" ] && ! cmp -s "$work/reference.bmp" "$bmp"; }; then
        echo "DIFFERENT BITMAP: $where"
        failed=$((failed + 1))
      else
        passed=$((passed + 1))
      fi
    done
  done
}

cd "$work/pictures"
for sample in *.kx *.bin *.ico; do
  [ "$sample" = container.bin ] && continue
  [ "$sample" = "$unicode_name" ] && continue
  [ "$sample" = "$accented_name" ] && continue
  compare "ansi wide" "$sample"
  compare "ansi wide" "$sample" --memory
  compare "ansi wide" "$sample" --handle --cancel
done
compare "ansi wide" container.bin --offset 777
compare "ansi wide" container.bin --offset 777 --memory --handle
compare "ansi wide" "$accented_name"
compare "ansi wide" "$accented_name" --handle
# Names no single ANSI code page spells reach every host through the wide
# form, in a folder with such a name too.
for sample in "$unicode_name" "フォルダ Übersicht/$unicode_name"; do
  compare wide "$sample"
  compare wide "$sample" --handle --memory
done
compare "ansi wide" ""
echo "hosts: $passed passed, $failed failed; $reruns runs made again after the loader failed at exit," \
  "$silent_reruns after a Wine start that printed nothing"
[ "$failed" -eq 0 ]

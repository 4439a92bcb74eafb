#!/usr/bin/env bash
# libkx as another project takes it: `cmake --install` of the library's
# components into a staging folder (DESTDIR, prefix /usr) gives exactly its
# files; into a prefix of its own, a C99 program builds against it through
# pkg-config and a CMake project through find_package(kx), shared and
# static, and each decodes the golden pictures to exactly what a viewer gets
# from the plug-in (the .bmp beside each .kx), refuses the damaged files and
# encodes what it decoded back to the same pixels.
#
#   check_library_install.sh BUILD_DIR LIBDIR DATA_DIR CONSUMER_DIR
set -euo pipefail
build=$1
libdir=$2
data=$3
consumer=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "$*"
  failed=1
}
install_library() {  # prefix, then env settings via the caller
  cmake --install "$build" --prefix "$1" --component library >/dev/null
  cmake --install "$build" --prefix "$1" --component development >/dev/null
}

stage=$work/stage
DESTDIR=$stage install_library /usr
find "$stage" \( -type f -o -type l \) | sed "s#^$stage/##" | sed 's/kxTargets-[a-z]*\.cmake/kxTargets-CONFIG.cmake/' |
  sort >"$work/files"
printf 'usr/%s\n' include/kx.h "$libdir/libkx.so" "$libdir/libkx.so.1" "$libdir/libkx.so.1.0.0" "$libdir/libkx.a" \
  "$libdir/pkgconfig/kx.pc" "$libdir/cmake/kx/kxConfig.cmake" "$libdir/cmake/kx/kxConfigVersion.cmake" \
  "$libdir/cmake/kx/kxTargets.cmake" "$libdir/cmake/kx/kxTargets-CONFIG.cmake" | sort >"$work/expected"
diff -u "$work/expected" "$work/files" || fail "the staged install is not the library's files"
[ "$(readlink "$stage/usr/$libdir/libkx.so.1")" = libkx.so.1.0.0 ] || fail "libkx.so.1 does not name libkx.so.1.0.0"
[ "$(readlink "$stage/usr/$libdir/libkx.so")" = libkx.so.1 ] || fail "libkx.so does not name libkx.so.1"

prefix=$work/prefix
install_library "$prefix"
export LD_LIBRARY_PATH=$prefix/$libdir
pictures=("$data"/decode/*.kx "$data"/damaged/*)

# Runs one consumer over every picture and compares what it wrote.
check_consumer() {  # name, program
  local out=$work/out-$1
  mkdir -p "$out"
  if ! "$2" "$out" "${pictures[@]}" >"$work/$1.log" 2>&1; then
    cat "$work/$1.log"
    fail "$1: the consumer failed"
    return
  fi
  local kx golden count=0
  for kx in "$data"/decode/*.kx; do
    golden=${kx%.kx}.bmp
    if ! cmp -s "$golden" "$out/$(basename "$kx").bmp"; then
      fail "$1: $(basename "$kx") differs from what the plug-in gives"
    fi
    count=$((count + 1))
  done
  grep -q "not-kx.kx: not a KX image" "$work/$1.log" || fail "$1: a file that is not KX was not refused as such"
  grep -q "too-large-32767.kx: KX image too large" "$work/$1.log" || fail "$1: the picture over the cap was not refused"
  echo "$1: $count pictures as the plug-in gives them"
}

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion kx)" = "$(sed -n 's/^#define KX_VERSION_STRING "\(.*\)"/\1/p' "$prefix/include/kx.h")" ] ||
  fail "kx.pc and kx.h disagree on the version"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags kx) "$consumer/kx_consumer.c" \
  $(pkg-config --libs kx) -o "$work/pkgconfig-consumer" || fail "the C99 program did not build through pkg-config"
[ -x "$work/pkgconfig-consumer" ] && check_consumer pkg-config "$work/pkgconfig-consumer"

if cmake -S "$consumer/cmake" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/cmake-build" >>"$work/cmake.log" 2>&1; then
  check_consumer find_package-shared "$work/cmake-build/kx_consumer_shared"
  check_consumer find_package-static "$work/cmake-build/kx_consumer_static"
  objdump -p "$work/cmake-build/kx_consumer_static" | grep -q 'NEEDED.*libkx' &&
    fail "the static consumer needs libkx.so"
else
  cat "$work/cmake.log"
  fail "the CMake project did not build with find_package(kx)"
fi

[ $failed -eq 0 ] && echo "installed: libkx's files; found by pkg-config and find_package(kx), shared and static"
exit $failed

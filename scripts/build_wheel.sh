#!/usr/bin/env bash
# The Python wheel that carries the library: kx-VERSION-py3-none-TAG.whl in
# OUT_DIR (the first argument, default build/wheel/dist), with libkx.so.1
# inside the package, beside _library.py, which loads it before the
# system's. Also the sdist, which holds no library and uses the system's.
#
# The wheel's libkx.so.1 links the C++ runtime in (-static-libstdc++
# -static-libgcc), so that it needs the C library alone; its platform tag
# is manylinux_2_N_x86_64, N the newest glibc symbol version it imports,
# and the build fails if it needs any library outside glibc's own. The
# same commit gives the same wheel (SOURCE_DATE_EPOCH from the commit).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/wheel/dist}")
build=build/wheel
python=/usr/bin/python3  # Debian's, with its setuptools and wheel
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)

cmake -S . -B "$build/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF \
  -DKX_BUILD_DESKTOP=OFF "-DCMAKE_SHARED_LINKER_FLAGS=-static-libstdc++ -static-libgcc" >/dev/null
nice -n 10 cmake --build "$build/cmake" -j2 --target kx >/dev/null
library=$build/cmake/libkx.so.1

# What the library needs of the system: only glibc's libraries, and their
# newest symbol version names the tag.
needed=$(objdump -p "$library" | awk '/NEEDED/ {print $2}' | sort | tr '\n' ' ')
for name in $needed; do
  case $name in
    libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | ld-linux-x86-64.so.2) ;;
    *) echo "build_wheel: libkx.so.1 needs $name, which a wheel cannot count on"; exit 1 ;;
  esac
done
glibc=$(objdump -T "$library" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -t. -k1,1n -k2,2n -u | tail -1)
[ -n "$glibc" ] || { echo "build_wheel: no glibc symbol versions in libkx.so.1"; exit 1; }
if objdump -T "$library" | grep -q 'GLIBCXX_\|CXXABI_\|GCC_'; then
  echo "build_wheel: libkx.so.1 imports from the C++ runtime"
  exit 1
fi
platform=manylinux_${glibc%%.*}_${glibc#*.}_x86_64

# The package's sources, and for the wheel the library beside them, in
# folders of the build's own.
rm -rf "$build/sdist-src" "$build/wheel-src" "$build/pure" "$out"
mkdir -p "$build/sdist-src" "$out"
cp -r python/pyproject.toml python/src "$build/sdist-src/"
find "$build/sdist-src" -name __pycache__ -prune -exec rm -rf {} +
cp -r "$build/sdist-src" "$build/wheel-src"
cp "$library" "$build/wheel-src/src/kx/libkx.so.1"
strip --strip-unneeded "$build/wheel-src/src/kx/libkx.so.1"
{ "$python" -m build --no-isolation --skip-dependency-check --sdist --outdir "$build/pure" "$build/sdist-src" &&
  "$python" -m build --no-isolation --skip-dependency-check --wheel --outdir "$build/pure" "$build/wheel-src"; } \
  >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }

# setuptools calls a package without extension modules pure: the wheel is
# retagged for the platform its library needs, and no longer purelib.
version=$(sed -n 's/^version = "\(.*\)"/\1/p' python/pyproject.toml)
unpacked=$build/unpacked
rm -rf "$unpacked"
"$python" -m wheel unpack --dest "$unpacked" "$build/pure/kx-$version-py3-none-any.whl" >/dev/null
wheel_file=$unpacked/kx-$version/kx-$version.dist-info/WHEEL
sed -i "s/^Root-Is-Purelib: true/Root-Is-Purelib: false/; s/^Tag: py3-none-any/Tag: py3-none-$platform/" "$wheel_file"
find "$unpacked" -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
"$python" -m wheel pack --dest-dir "$out" "$unpacked/kx-$version" >/dev/null
mv "$build/pure/kx-$version.tar.gz" "$out/"
tar -tzf "$out/kx-$version.tar.gz" >"$build/sdist-files.txt"
if grep -q 'libkx\.so' "$build/sdist-files.txt"; then
  echo "build_wheel: the sdist holds a library"
  exit 1
fi
echo "build_wheel: $(cd "$out" && ls) (libkx.so.1 needs: $needed; glibc $glibc)"

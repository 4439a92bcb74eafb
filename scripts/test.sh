#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test:
# native (debug, sanitizers, release), the 32-bit and 64-bit Windows
# modules' tests under 32-bit and 64-bit Wine, the end-to-end comparison of
# the native (release and sanitizer builds) and both Windows hosts in the
# ANSI and wide forms, kxconv.exe against the native kxconv, the Python
# package on libkx (python/), valgrind over the native plug-in tests,
# clang-tidy over every native target (the lint preset, about 3 minutes),
# the GIMP plug-in in gimp-console, ImageMagick, GraphicsMagick and libvips
# through kxconv, KDE's thumbnails, the web package (its WebAssembly builds in Node and in
# headless Chromium), the release (archive and installer) built twice from
# HEAD and compared, and each fuzz target for a short while after replaying
# its corpus (scripts/fuzz.sh runs them for longer), the Debian packages
# built once and checked by lintian, installed in a clean root and purged,
# and the Python wheel in a fresh virtual environment.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

jobs=$(nproc)
# cmake/wine-run.sh counts here the Wine starts it made again.
rm -f build/*/wineprefix.silent-starts
failed_steps=()
steps_run=0
step() {  # name, command...
  local name=$1
  shift
  steps_run=$((steps_run + 1))
  echo "=== $name"
  if ! "$@"; then
    failed_steps+=("$name")
  fi
}
build_and_test() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs" && ctest --preset "$1" -j "$jobs"
}

memcheck() {  # zero errors and zero leaks in the native plug-in tests, both forms
  local test form
  for test in plugin_tests ownership_tests; do
    for form in "" --wide; do
      # The 8192 x 8192 picture would take minutes under memcheck; every
      # other path runs.
      valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect "build/release/$test" $form --gtest_brief=1 \
        --gtest_filter=-Limits.TheLargestPictureDecodesCompletely || return 1
    done
  done
}

# kxconv.exe under 64-bit Wine: the native kxconv tests run against it, and
# both converters on the same files with Japanese and Greek names.
kxconv_wine() {
  KXCONV_UNDER_TEST=$PWD/tests/kxconv_wine.sh KXCONV_EXE=$PWD/build/win64/tools/kxconv.exe \
    KXCONV_WINEPREFIX=$PWD/build/win64/wineprefix timeout 600 build/dev/kxconv_tests --gtest_brief=1 &&
    timeout 600 tests/check_kxconv_wine.sh build/release/tools/kxconv build/win64/tools/kxconv.exe \
      build/win64/wineprefix tests/data/decode
}

lint() {  # clang-tidy findings are errors: the build fails on any
  cmake --preset lint >/dev/null && cmake --build --preset lint -j "$jobs"
}

for preset in dev asan release win32 win64; do
  step "$preset" build_and_test "$preset"
done
step "kxconv.exe" kxconv_wine
# The Python package on the release build's libkx.so.1, in a virtual
# environment of Debian's Python under build/release.
step "python" scripts/test-python.sh build/release
# The wheel that carries libkx.so.1, in a fresh environment (half a minute).
step "python wheel" scripts/check_wheel.sh
step "hosts" tests/compare_hosts.sh build/release build/asan build/win32 build/win64
step "memcheck" memcheck
step "lint" lint
# GIMP (gimp-console) with the release build's plug-in, installed into a
# prefix of its own, under a private HOME (about a minute).
step "gimp" gimp/tests/run.sh build/release
# ImageMagick 6, GraphicsMagick and libvips through the release build's
# kxconv, with the delegates the install command writes (about 10 s).
step "converters" magick/tests/run.sh build/release
# KDE's thumbnails (KIO::PreviewJob, offscreen) with the release build's
# Qt plug-in and MIME type installed into a prefix of their own (about 2 s).
step "kde" desktop/kde/run.sh build/release
step "web" web/tests/run.sh
step "package" scripts/package.sh
# The Debian packages of HEAD, built once and checked by lintian (about
# two and a half minutes; scripts/check_debs.sh builds twice and compares).
step "debian packages" scripts/build_debs.sh
# Installed in a clean Debian 12 root, used, purged: one and a half to
# six minutes (GIMP and the converters bring 210 of the 410 packages it
# installs) once the root's tarball and the downloaded packages are kept
# under build/debroot; five more for the run that makes them.
step "debian install" scripts/check_debs_installed.sh
step "release reproducible" timeout 1800 scripts/check_release.sh
step "fuzz" scripts/fuzz.sh 12

silent_starts=$(cat build/*/wineprefix.silent-starts 2>/dev/null | wc -l)
echo "Wine starts that failed having printed nothing, made again once: $silent_starts"
if [ ${#failed_steps[@]} -ne 0 ]; then
  echo "failed steps: ${failed_steps[*]}"
fi
echo "steps: $((steps_run - ${#failed_steps[@]})) passed, ${#failed_steps[@]} failed"
[ ${#failed_steps[@]} -eq 0 ]

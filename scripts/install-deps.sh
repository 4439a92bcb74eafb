#!/usr/bin/env bash
# Installs everything the builds, tests, tools and benchmarks need on a fresh
# Debian 12 machine. Safe to run again: it only installs what is missing.
# Needs root (or sudo) and access to Debian's package mirrors.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev libfuzzer-14-dev clang-tidy-14 clang-format-14
  googletest libgtest-dev libbenchmark-dev liblz4-dev libzstd-dev zlib1g-dev libpng-dev valgrind
  g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 locales
  pkg-config libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin qtbase5-dev shared-mime-info libglib2.0-bin
  python3-pil python3-pytest python3-venv python3-setuptools python3-wheel python3-build python3-distributed
  emscripten binaryen chromium firefox-esr webkit2gtk-driver xvfb
  wixl msitools faketime zip unzip libjpeg-turbo-progs
  gimp libgimp2.0-dev imagemagick graphicsmagick libvips-tools kio-extras libkf5kio-dev
  debhelper devscripts lintian dh-python python3-all pybuild-plugin-pyproject mmdebstrap
)
# Node and npm for the web package's tests, unless a newer Node is already
# installed (Debian 12's is 18, the oldest the package supports).
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# 32-bit Wine needs the i386 architecture before the package lists are read.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

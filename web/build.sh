#!/usr/bin/env bash
# Builds the package's WebAssembly modules with emscripten (presets wasm and
# wasm-plain, through emcmake) and puts them in web/dist, and the native
# program the tests compare them with (preset release, one target).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KX_JOBS:-2}
# Debian's emscripten finds its own node modules only there when the node on
# PATH is not Debian's.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}

mkdir -p web/dist
for preset in wasm wasm-plain; do
  emcmake cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target kx_wasm
done
cp build/wasm/web/kx-simd.js build/wasm/web/kx-simd.wasm web/dist/
cp build/wasm-plain/web/kx-plain.js build/wasm-plain/web/kx-plain.wasm web/dist/

if [ ! -f build/release/build.ninja ]; then
  cmake --preset release >/dev/null
fi
cmake --build --preset release -j "$jobs" --target kx_web_reference make_samples

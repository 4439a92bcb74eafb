#!/usr/bin/env bash
# The wheel that carries the library (scripts/build_wheel.sh), installed
# offline into a fresh virtual environment of Debian's Python on a machine
# with no libkx: Pillow opens a KX picture through the wheel's own
# libkx.so.1, exactly as the plug-in decodes it, and saves one back; the
# platform tag is what the library needs. And the sdist, installed into
# another one, holds no library and uses the one it is given.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3
top=$PWD
dist=$PWD/build/wheel/dist
scripts/build_wheel.sh "$dist"
version=$(sed -n 's/^version = "\(.*\)"/\1/p' python/pyproject.toml)
wheel=$(ls "$dist"/kx-"$version"-py3-none-*.whl)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
if ldconfig -p | grep -q 'libkx\.so\.1'; then
  echo "check_wheel: this machine has a libkx.so.1 of its own; the check would not show the wheel's"
  exit 1
fi

venv=$PWD/build/wheel/venv
rm -rf "$venv"
# Debian's Pillow from the system; nothing else comes from outside.
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/python3" -m pip install --quiet --no-index "$wheel"
picture=$PWD/tests/data/decode/gradient-333x129.kx
golden=$PWD/tests/data/decode/gradient-333x129.bmp
# Outside the sources, with nothing pointing at a library.
(cd /tmp && env -u KX_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH "$venv/bin/python3" - "$picture" "$golden" "$version") <<'PY' ||
import os
import sys
import sysconfig

from PIL import Image

import kx
import kx.pillow

picture, golden, version = sys.argv[1:4]
package = os.path.dirname(kx.__file__)
failures = []
if not package.startswith(sysconfig.get_paths()["platlib"]):
    failures.append(f"kx imported from {package}, not the environment")
loaded = kx.library()._name
if loaded != os.path.join(package, "libkx.so.1"):
    failures.append(f"the library loaded is {loaded}, not the wheel's")
if kx.__version__ != version or kx.version() != version:
    failures.append(f"versions: package {kx.__version__}, library {kx.version()}, expected {version}")
if not os.path.isfile(os.path.join(package, "py.typed")):
    failures.append("no py.typed")
im = Image.open(picture)
expected = Image.open(golden).convert("RGB")
if im.format != "KX" or im.size != expected.size or im.convert("RGB").tobytes() != expected.tobytes():
    failures.append("Pillow's picture is not the plug-in's")
out = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"kx-wheel-{os.getpid()}.kx")
try:
    im.save(out, level=9)
    if Image.open(out).convert("RGB").tobytes() != expected.tobytes():
        failures.append("a saved picture opens to other pixels")
finally:
    if os.path.exists(out):
        os.remove(out)
for failure in failures:
    print("FAIL:", failure)
print(f"wheel: {os.path.basename(loaded)} from the package; {im.format} {im.size[0]} x {im.size[1]} as the plug-in gives it")
sys.exit(1 if failures else 0)
PY
  fail "the wheel's package"

# The platform tag: the newest glibc version the library imports, nothing
# of the C++ runtime, and this machine's glibc at least that.
tag=$(unzip -p "$wheel" "kx-$version.dist-info/WHEEL" | sed -n 's/^Tag: //p')
needs=$(unzip -p "$wheel" kx/libkx.so.1 >"$venv/libkx.so.1" &&
  objdump -T "$venv/libkx.so.1" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V -u | tail -1)
[ "$tag" = "py3-none-manylinux_${needs%%.*}_${needs#*.}_x86_64" ] || fail "tag $tag for a library that needs glibc $needs"
unzip -p "$wheel" "kx-$version.dist-info/WHEEL" | grep -qx 'Root-Is-Purelib: false' || fail "the wheel calls itself pure"
echo "wheel tag: $tag (libkx.so.1 needs glibc $needs and $(objdump -p "$venv/libkx.so.1" | awk '/NEEDED/ {print $2}' | tr '\n' ' '))"

# The sdist: builds with no library in it, and uses the one it is given.
sdist_venv=$PWD/build/wheel/sdist-venv
rm -rf "$sdist_venv"
"$python" -m venv --system-site-packages "$sdist_venv"
"$sdist_venv/bin/python3" -m pip install --quiet --no-index --no-build-isolation "$dist/kx-$version.tar.gz"
[ -e "$("$sdist_venv/bin/python3" -c 'import os, sysconfig; print(sysconfig.get_paths()["purelib"])')/kx/libkx.so.1" ] &&
  fail "the sdist installed a library"
(cd /tmp && KX_LIBRARY=$top/build/wheel/cmake/libkx.so.1 "$sdist_venv/bin/python3" -c "
import sys, kx.pillow
from PIL import Image
sys.exit(Image.open('$picture').convert('RGB').tobytes() != Image.open('$golden').convert('RGB').tobytes())") ||
  fail "the sdist's package did not open KX through the library given"
echo "sdist: no library inside; opens KX through KX_LIBRARY"
echo "wheel check: $failures failed"
[ "$failures" -eq 0 ]

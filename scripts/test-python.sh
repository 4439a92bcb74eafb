#!/usr/bin/env bash
# The Python package (python/) against a native build's libkx: installs it
# offline into a virtual environment of Debian's Python (which has Debian's
# Pillow, pytest and setuptools) and runs its tests.
#
#   scripts/test-python.sh [BUILD_DIR [PYTEST_ARGS...]]   # default build/release
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
shift || true
# The Python first on PATH may be another one, without Pillow.
python=/usr/bin/python3
venv=$build/python-venv

cmake --build "$build" -j2 --target kx kxconv make_samples reference_decode >/dev/null
[ -x "$venv/bin/python3" ] || "$python" -m venv --system-site-packages "$venv"
"$venv/bin/python3" -m pip install --quiet --no-index --no-build-isolation --force-reinstall --no-deps ./python
# Run from the tests' folder so that the installed package is imported, not
# the sources.
export KX_LIBRARY=$PWD/$build/libkx.so.1 KX_BUILD_DIR=$PWD/$build
venv_python=$PWD/$venv/bin/python3
cd python/tests
# Any status but 0 fails the step, 5 ("no tests were collected") included.
"$venv_python" -m pytest -q -p no:cacheprovider "$@" .

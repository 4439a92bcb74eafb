"""Fixtures: the native build whose libkx the tests load, its kxconv, and
the reference the binding's pixels are compared with: tests/reference_decode,
the byte-at-a-time reference decoder of the C++ tests, which shares no
decoding code with libkx (kxconv decodes through libkx, as this binding
does, so a fault of the library's decoder would show in both alike)."""

import os
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KX_BUILD_DIR", REPO / "build" / "release"))
# Before kx loads the library (on first use): the build tree's, unless the
# caller named one.
os.environ.setdefault("KX_LIBRARY", str(BUILD / "libkx.so.1"))

GOLDEN_DIR = REPO / "tests" / "data" / "decode"
DAMAGED_DIR = REPO / "tests" / "data" / "damaged"


def tool(name):
    path = BUILD / name
    if not path.is_file():
        raise FileNotFoundError(f"{path} is missing: build the release preset first")
    return path


def kxconv(*args):
    return subprocess.run([str(tool("tools/kxconv")), *map(str, args)], capture_output=True, text=True)


def read_ppm(path):
    """(width, height, RGB bytes) of a binary PPM as kxconv and the reference write it."""
    data = Path(path).read_bytes()
    fields = data.split(maxsplit=4)
    assert fields[0] == b"P6" and fields[3] == b"255"
    width, height = int(fields[1]), int(fields[2])
    return width, height, fields[4][: width * height * 3]


@pytest.fixture(scope="session")
def samples_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("samples")
    subprocess.run([str(tool("tests/make_samples")), str(out)], check=True)
    return out


def reference(path, out_dir):
    """What the reference decoder says of a file: recognised, complete, and
    its pixels (None when it is not recognised or not decoded)."""
    ppm = Path(out_dir) / (Path(path).name + ".ppm")
    run = subprocess.run(
        [str(tool("tests/reference_decode")), str(path), str(ppm)], capture_output=True, text=True, check=True
    )
    line = run.stdout.split()
    recognised = line[0] == "recognised"
    complete = line[-1] == "complete"
    pixels = read_ppm(ppm) if line[-1] in ("complete", "cut") else None
    return recognised, complete, pixels

"""Fixtures: the native build whose libkx the tests load, and its kxconv,
the reference the plug-in's pixels are compared with (it decodes through
the import plug-in's own entry points, not through this binding)."""

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
    """(width, height, RGB bytes) of a binary PPM as kxconv writes it."""
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


def native_reference(path, out_dir):
    """What kxconv says of a file: recognised, complete, and its pixels."""
    line = kxconv("info", path).stdout
    recognised = ": recognised," in line
    complete = line.rstrip().endswith(", complete")
    pixels = None
    if recognised:
        ppm = Path(out_dir) / (Path(path).name + ".ppm")
        result = kxconv("decode", path, ppm)
        assert result.returncode == 0, result.stderr
        pixels = read_ppm(ppm)
    return recognised, complete, pixels

import os
import subprocess
import sys
import textwrap

import pytest
from conftest import BUILD, GOLDEN_DIR

import kx


def rows(picture, pixel_bytes):
    """The pixels of each row of a kx.Picture, without padding."""
    row_bytes = picture.width * pixel_bytes
    return [
        bytes(picture.pixels[y * picture.stride_bytes : y * picture.stride_bytes + row_bytes])
        for y in range(picture.height)
    ]


def test_layouts_agree_with_the_golden_bitmaps():
    # Each golden picture's committed BMP holds the bottom-up, 4-byte padded
    # rows a viewer gets as its pixel array.
    for path in sorted(GOLDEN_DIR.glob("*.kx")):
        bits = path.with_suffix(".bmp").read_bytes()
        data = path.read_bytes()
        bottom_up = kx.decode(data, "BGR_BOTTOM_UP")
        # The buffer ends with the last row's pixels, without its padding.
        offset = int.from_bytes(bits[10:14], "little")
        assert bottom_up.pixels == bits[offset : offset + len(bottom_up.pixels)], path
        bgr = rows(bottom_up, 3)[::-1]
        assert rows(kx.decode(data, "BGR"), 3) == bgr
        rgb = [b"".join(row[i : i + 3][::-1] for i in range(0, len(row), 3)) for row in bgr]
        assert rows(kx.decode(data, "RGB"), 3) == rgb
        rgba = kx.decode(data, "RGBA")
        assert rows(rgba, 4) == [b"".join(r[i : i + 3] + b"\xff" for i in range(0, len(r), 3)) for r in rgb]
        bgra = kx.decode(bytearray(data), "BGRA")
        assert rows(bgra, 4) == [b"".join(r[i : i + 3] + b"\xff" for i in range(0, len(r), 3)) for r in bgr]


def test_probe_reports_the_header_and_the_recognition_test():
    info = kx.probe((GOLDEN_DIR / "cut-64x67.kx").read_bytes())
    assert (info.width, info.height, info.coding, info.bytes_per_pixel) == (64, 67, 0x83, 3)
    assert (info.recognition, info.decoding) == (0, 0)
    total = 64 * 67 * 3
    assert info.max_input_bytes == 16 + total + (total + 7) // 8 + 2
    assert kx.probe(b"KX").recognition == kx.probe(b"").recognition != 0
    assert kx.probe(b"BM" + bytes(14)).decoding != 0


def test_encode_with_a_stride_and_decode_into_a_buffer_of_ones_own():
    width, height, stride_bytes = 5, 3, 17
    pixels = bytearray(stride_bytes * height)
    for y in range(height):
        pixels[y * stride_bytes : y * stride_bytes + 15] = bytes((y * 40 + i * 7) & 0xFF for i in range(15))
    data = kx.encode(memoryview(pixels), width, height, "RGB", level=9, stride_bytes=stride_bytes)
    assert kx.encode(bytes(pixels), width, height, "RGB", level=9, stride_bytes=stride_bytes, threads=2) == data
    for speed in (1, kx.MAX_DECODE_SPEED):
        fast = kx.encode(bytes(pixels), width, height, "RGB", stride_bytes=stride_bytes, threads=2, decode_speed=speed)
        assert kx.decode(fast, "RGB").pixels == kx.decode(data, "RGB").pixels
    out = bytearray(b"\xaa" * len(pixels))
    report = kx.decode_into(data, "RGB", out, stride_bytes)
    assert (report.width, report.height, report.complete, report.decoded_pixels) == (5, 3, True, 15)
    for y in range(height):
        assert out[y * stride_bytes : y * stride_bytes + 15] == pixels[y * stride_bytes : y * stride_bytes + 15]
        assert out[y * stride_bytes + 15 : (y + 1) * stride_bytes] == b"\xaa" * 2  # padding untouched

    cut = kx.decode(data[: kx.HEADER_BYTES + 4])
    assert not cut.complete and cut.decoded_pixels < 15


@pytest.mark.parametrize(
    "call,error",
    [
        (lambda: kx.decode(b"KX\x83\x03"), kx.KxError),
        (lambda: kx.decode((GOLDEN_DIR / "example-2x2.kx").read_bytes(), "YUV"), kx.KxError),
        (lambda: kx.decode_into((GOLDEN_DIR / "example-2x2.kx").read_bytes(), "RGB", bytearray(11), 6), kx.KxError),
        (lambda: kx.decode_into((GOLDEN_DIR / "example-2x2.kx").read_bytes(), "RGB", bytes(12), 6), TypeError),
        (lambda: kx.encode(bytes(12), 2, 2, level=10), kx.KxError),
        (lambda: kx.encode(bytes(12), 2, 2, decode_speed=10), kx.KxError),
        (lambda: kx.encode(bytes(12), 2, 2, decode_speed=-1), kx.KxError),
        (lambda: kx.encode(bytes(11), 2, 2), kx.KxError),
        (lambda: kx.encode(bytes(3), 0, 1), kx.KxError),
    ],
)
def test_refused_calls_raise(call, error):
    with pytest.raises(error):
        call()


EXAMPLE = (GOLDEN_DIR / "example-2x2.kx").read_bytes()


@pytest.mark.parametrize(
    "call,name",
    [
        # Each of them, passed on modulo 2**bits, is a call the library
        # accepts: a 4 x 2 file, a decode at stride 12, level 6, layout 2.
        (lambda: kx.encode(bytes(24), 2**32 + 4, 2, "RGB"), "width"),
        (lambda: kx.encode(bytes(24), 4, 2**32 + 2, "RGB"), "height"),
        (lambda: kx.encode(bytes(24), 4, 2, "RGB", level=2**32 + 6), "level"),
        (lambda: kx.encode(bytes(24), 4, 2, "RGB", level=-(2**32) + 6), "level"),
        (lambda: kx.encode(bytes(24), 4, 2, "RGB", stride_bytes=2**64 + 12), "stride_bytes"),
        (lambda: kx.encode(bytes(24), 4, 2, "RGB", threads=2**32 + 1), "threads"),
        (lambda: kx.encode(bytes(24), 4, 2, "RGB", decode_speed=2**32 + 1), "decode_speed"),
        (lambda: kx.encode(bytes(24), 4, 2, 2**32 + 2), "layout"),
        (lambda: kx.decode_into(EXAMPLE, "RGB", bytearray(12), 2**64 + 6), "stride_bytes"),
        (lambda: kx.decode_into(EXAMPLE, 2**32 + 2, bytearray(12), 6), "layout"),
        (lambda: kx.decode(EXAMPLE, 2**32 + 2), "layout"),
        (lambda: kx.decode(EXAMPLE, -(2**31) - 1), "layout"),
    ],
)
def test_integers_outside_the_c_types_are_refused_by_name(call, name):
    with pytest.raises(OverflowError, match=f"^{name} "):
        call()


def test_the_texts_state_the_headers_ranges():
    assert "0..9" in kx.result_text(13)  # KX_ERR_BAD_LEVEL: 0 is the default level


def run_python(code, **env):
    environment = {k: v for k, v in os.environ.items() if k not in ("KX_LIBRARY", "LD_LIBRARY_PATH")}
    environment.update(env)
    command = [sys.executable, "-c", textwrap.dedent(code)]
    return subprocess.run(command, capture_output=True, text=True, env=environment)


@pytest.mark.parametrize(
    "library,expected",
    [
        ("/nonexistent/libkx.so.1", "KX_LIBRARY=/nonexistent/libkx.so.1 does not name a loadable libkx.so.1"),
        ("libc.so.6", "libc.so.6 is not libkx.so.1"),
    ],
)
def test_a_missing_library_is_named(library, expected):
    # Registering works without the library; opening a KX picture says what is missing.
    result = run_python(
        f"""
        from PIL import Image
        import kx.pillow
        import io
        try:
            Image.open(io.BytesIO(b"not a picture of any kind"))
        except Image.UnidentifiedImageError:
            print("other files: not identified")
        try:
            Image.open({str(GOLDEN_DIR / "example-2x2.kx")!r})
        except kx.LibraryNotFoundError as error:
            print(error)
        """,
        KX_LIBRARY=library,
    )
    assert result.stdout.startswith("other files: not identified\n"), result.stdout + result.stderr
    assert expected in result.stdout, result.stdout + result.stderr


def test_without_the_variable_the_library_is_found_by_its_soname():
    code = "import kx; print(kx.version())"
    if (BUILD / "libkx.so.1").exists():
        found = run_python(code, LD_LIBRARY_PATH=str(BUILD))
        assert found.stdout.strip() == "1.0.0", found.stderr
    missing = run_python(code, LD_LIBRARY_PATH="/nonexistent")
    if missing.returncode != 0:  # unless a libkx.so.1 is installed on this machine
        assert "libkx.so.1 is not installed where the dynamic loader looks; set KX_LIBRARY" in missing.stderr

import io
import struct

import pytest
from conftest import DAMAGED_DIR, GOLDEN_DIR, kxconv, reference
from PIL import Image, ImageFile, UnidentifiedImageError

import kx
import kx.pillow


def header(width, height, coding=0x83, bytes_per_pixel=3):
    return b"KX" + bytes([coding, bytes_per_pixel]) + bytes(8) + struct.pack("<hh", width, height)


@pytest.fixture(params=["mapped", "generic"])
def load_path(request, monkeypatch):
    """Both ways load() can go: the mapped buffer, and the decoded rows
    copied into Pillow's own image (taken where Pillow had no map_buffer)."""
    if request.param == "generic":
        monkeypatch.setattr(kx.pillow, "_map_buffer", None)
    else:
        assert kx.pillow._map_buffer is not None
    return request.param


class CountingReader(io.BytesIO):
    """A file object that remembers the furthest byte anyone read."""

    furthest = 0

    def read(self, size=-1):
        data = super().read(size)
        self.furthest = max(self.furthest, self.tell())
        return data


def every_file(samples_dir):
    return sorted(samples_dir.iterdir()) + sorted(GOLDEN_DIR.glob("*.kx")) + sorted(DAMAGED_DIR.glob("*.k*"))


def test_every_file_loads_as_the_reference_decodes_it(samples_dir, tmp_path, load_path, monkeypatch):
    checked = 0
    for path in every_file(samples_dir):
        recognised, complete, want = reference(path, tmp_path)
        if not recognised:
            with pytest.raises(UnidentifiedImageError):
                Image.open(path, formats=["KX"])
            continue
        width, height, pixels = want
        for allowed in (False, True):
            monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", allowed)
            with Image.open(path) as im:
                assert (im.format, im.mode, im.size) == ("KX", "RGB", (width, height)), path
                if complete or allowed:
                    im.load()
                    assert im.tobytes() == pixels, path
                    checked += 1
                else:
                    with pytest.raises(OSError, match="truncated"):
                        im.load()
    assert checked >= 40


def count_decode_calls(monkeypatch):
    """Counts the library's decode entry points from here on, by name."""
    lib = kx._library.library()
    calls = dict.fromkeys(("kx_decode", "kx_decoder_create", "kx_decoder_push"), 0)
    for name in calls:
        real = getattr(lib, name)

        def counted(*args, name=name, real=real):
            calls[name] += 1
            return real(*args)

        monkeypatch.setattr(lib, name, counted)
    return calls


def test_whole_files_take_one_decode_call_and_the_parser_the_decoder_in_pieces(samples_dir, load_path, monkeypatch):
    """A whole file is one kx_decode call, which lets the library decode a
    large picture on two threads; the decoder in pieces runs on the calling
    thread alone, and is for what arrives in pieces."""
    path = samples_dir / "gradient-333x129.kx"
    data = path.read_bytes()
    calls = count_decode_calls(monkeypatch)
    for source in (path, io.BytesIO(data)):
        with Image.open(source) as im:
            im.load()
    assert calls == {"kx_decode": 2, "kx_decoder_create": 0, "kx_decoder_push": 0}

    calls.update(dict.fromkeys(calls, 0))
    parser = ImageFile.Parser()
    for start in range(0, len(data), 4096):
        parser.feed(data[start : start + 4096])
    parser.close()
    assert calls["kx_decode"] == 0 and calls["kx_decoder_create"] == 1
    assert calls["kx_decoder_push"] >= len(data) // 4096


def test_open_reads_the_header_alone_and_load_no_more_than_the_stream_can_use(tmp_path, load_path):
    picture = Image.radial_gradient("L").convert("RGB").resize((300, 200))
    file = io.BytesIO()
    picture.save(file, "KX", level=3)
    data = file.getvalue()
    max_input_bytes = kx.probe(data).max_input_bytes
    reader = CountingReader(data + b"\xff" * 1_000_000)
    im = Image.open(reader)
    assert (im.size, im.mode, reader.furthest) == ((300, 200), "RGB", kx.HEADER_BYTES)
    pixels = im.load()
    assert reader.furthest <= max_input_bytes
    assert im.tobytes() == picture.tobytes()
    pixels[299, 199] = (1, 2, 3)  # the decoded picture is the caller's to change
    assert im.getpixel((299, 199)) == (1, 2, 3)

    path = tmp_path / "picture.kx"
    path.write_bytes(data)
    with open(path, "rb") as fp:
        assert Image.open(fp).tobytes() == picture.tobytes()
    assert Image.open(io.BytesIO(data)).tobytes() == picture.tobytes()


def test_parser_fed_in_pieces_gives_the_same_picture(samples_dir, monkeypatch):
    for name in ("gradient-333x129.kx", "junk-257x260.kx", "cut-257x260.kx"):
        data = (samples_dir / name).read_bytes()
        monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)
        expected = Image.open(io.BytesIO(data)).tobytes()
        for piece_bytes in (1, 7, 4096):
            for allowed in (True, False):
                monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", allowed)
                parser = ImageFile.Parser()
                for start in range(0, len(data), piece_bytes):
                    parser.feed(data[start : start + piece_bytes])
                if name.startswith("cut") and not allowed:
                    with pytest.raises(OSError, match="truncated"):
                        parser.close()
                else:
                    assert parser.close().tobytes() == expected, (name, piece_bytes)


def test_parser_in_pieces_gives_every_golden_and_sample_file(samples_dir, tmp_path, monkeypatch):
    """1-, 7- and 4096-byte pieces against the reference decoder."""
    checked = 0
    for path in sorted(GOLDEN_DIR.glob("*.kx")) + sorted(samples_dir.iterdir()):
        recognised, complete, picture = reference(path, tmp_path)
        if not recognised:
            continue
        width, height, pixels = picture
        data = path.read_bytes()
        for piece_bytes in (1, 7, 4096):
            if piece_bytes == 1 and len(data) > 200_000:
                continue  # a million feeds say no more than 7-byte ones
            for allowed in (True, False):
                monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", allowed)
                parser = ImageFile.Parser()
                for start in range(0, len(data), piece_bytes):
                    parser.feed(data[start : start + piece_bytes])
                # A stream opened and ended by the same feed reaches the
                # decoder only at close, which cannot tell it has ended.
                opened_by_last_feed = (len(data) - 1) // piece_bytes * piece_bytes < kx.HEADER_BYTES
                if not complete and not allowed:
                    with pytest.raises(OSError, match="incomplete" if opened_by_last_feed else "truncated"):
                        parser.close()
                elif not complete and opened_by_last_feed:
                    with pytest.raises(OSError, match="incomplete"):
                        parser.close()
                else:
                    im = parser.close()
                    assert (im.size, im.mode) == ((width, height), "RGB"), path
                    assert im.tobytes() == pixels, (path, piece_bytes)
                    checked += 1
    assert checked >= 40


def test_parser_decodes_as_the_pieces_come_and_keeps_none_of_them(samples_dir):
    """The parser holds no more than a byte of what it was fed (a decoder
    that waited for the whole file would have it all), and the rows the
    pieces complete are in the image before the close."""
    data = (samples_dir / "gradient-333x129.kx").read_bytes()
    expected = Image.open(io.BytesIO(data))
    expected.load()
    width, height = expected.size
    parser = ImageFile.Parser()
    half = len(data) // 2
    for start in range(0, half, 4096):
        parser.feed(data[start : min(start + 4096, half)])
        if start > 0:
            assert len(parser.data) <= 1
    image = parser.image
    first_row = image.crop((0, 0, width, 1)).tobytes()
    last_row = image.crop((0, height - 1, width, height)).tobytes()
    assert first_row == expected.crop((0, 0, width, 1)).tobytes()
    assert last_row == bytes(3 * width)  # not decoded yet
    for start in range(half, len(data), 4096):
        parser.feed(data[start : start + 4096])
    assert parser.close().tobytes() == expected.tobytes()


SAVED = [
    # mode, level, what the file must hold
    ("RGB", 1, lambda im: im),
    ("RGB", 6, lambda im: im),
    ("RGB", 9, lambda im: im),
    ("L", 4, lambda im: im.convert("RGB")),
    ("1", 2, lambda im: im.convert("RGB")),
    ("P", 7, lambda im: im.convert("RGB")),
    ("LA", 5, lambda im: im.convert("RGB")),
    ("RGBA", 8, lambda im: im.convert("RGB")),
]


@pytest.mark.parametrize("mode,level,expected", SAVED)
def test_save_and_open_again(tmp_path, mode, level, expected):
    base = Image.linear_gradient("L").resize((257, 131))
    rgb = Image.merge("RGB", (base, base.rotate(90), base.transpose(Image.Transpose.FLIP_LEFT_RIGHT)))
    im = rgb.convert(mode) if mode != "LA" else Image.merge("LA", (base, base.rotate(180)))
    if mode == "RGBA":
        im.putalpha(base)
    path = tmp_path / "saved.kx"
    im.save(path, level=level)
    with Image.open(path) as again:
        assert again.format == "KX"
        assert again.tobytes() == expected(im).tobytes()
    ppm = tmp_path / "saved.ppm"
    expected(im).save(ppm)
    native = tmp_path / "native.kx"
    assert kxconv("encode", ppm, native, "--level", level).returncode == 0
    assert path.read_bytes() == native.read_bytes()


def test_save_at_a_decode_speed_writes_kxconvs_file(tmp_path):
    base = Image.linear_gradient("L").resize((257, 131))
    im = Image.merge("RGB", (base, base.rotate(90), base.transpose(Image.Transpose.FLIP_LEFT_RIGHT)))
    path = tmp_path / "fast.kx"
    im.save(path, decode_speed=9)
    with Image.open(path) as again:
        assert again.tobytes() == im.tobytes()
    ppm = tmp_path / "saved.ppm"
    im.save(ppm)
    native = tmp_path / "native.kx"
    assert kxconv("encode", ppm, native, "--decode-speed", 9).returncode == 0
    assert path.read_bytes() == native.read_bytes()
    default = tmp_path / "default.kx"
    im.save(default)
    assert default.read_bytes() != path.read_bytes()


@pytest.mark.parametrize(
    "im,params",
    [
        (Image.new("I", (4, 4)), {}),
        (Image.new("F", (4, 4)), {}),
        (Image.new("CMYK", (4, 4)), {}),
        (Image.new("I;16", (4, 4)), {}),
        (Image.new("RGB", (8193, 1)), {}),
        (Image.new("RGB", (1, 8193)), {}),
        (Image.new("RGB", (4, 4)), {"level": 10}),
        (Image.new("RGB", (4, 4)), {"decode_speed": 10}),
    ],
)
def test_save_refuses(im, params):
    out = io.BytesIO()
    with pytest.raises(OSError):
        im.save(out, "KX", **params)
    assert out.getvalue() == b""


@pytest.mark.parametrize(
    "data",
    # Beside the refused samples: the header's other fields one at a time.
    [
        header(4, 4)[:15],
        header(4, 4, bytes_per_pixel=4) + bytes(48),
        header(4, -1),
        header(8193, 1) + bytes(99),
    ],
)
def test_refused_files_are_not_identified(data, tmp_path):
    with pytest.raises(UnidentifiedImageError):
        Image.open(io.BytesIO(data))
    path = tmp_path / "refused.kx"
    path.write_bytes(data)
    with pytest.raises(UnidentifiedImageError):
        Image.open(path)


def test_register_again_changes_nothing():
    before = (list(Image.ID), dict(Image.OPEN), dict(Image.SAVE), dict(Image.EXTENSION), dict(Image.MIME))
    kx.pillow.register()
    kx.pillow.register()
    assert Image.ID.count("KX") == 1
    assert (list(Image.ID), dict(Image.OPEN), dict(Image.SAVE), dict(Image.EXTENSION), dict(Image.MIME)) == before

"""KX for Pillow. Importing this module registers the format:

    from PIL import Image
    import kx.pillow
    Image.open("picture.kx").save("picture.png")

Opening reads the 16-byte header alone; load() reads at most what a stream
for that picture can use and decodes it once, through libkx. Saving writes
RGB pictures as they are and 1, L, P, LA and RGBA ones converted to RGB,
alpha dropped: Image.save("x.kx", level=N), N from 1 (fastest) to 9
(smallest), 6 by default.
"""

from PIL import Image, ImageFile

import kx

FORMAT = "KX"
DECODER = "kx"
EXTENSION = ".kx"
MIME = "image/x-kx"

# Pillow keeps an RGB picture as 4 bytes a pixel, the fourth 255: exactly
# the library's RGBA layout. Decoding into a buffer that Pillow then maps
# as its image spares the copy a raw decoder would make, and with it the
# first touch of a second picture-sized block: through Pillow's generic
# load (KxDecoder) the 12-megapixel benchmark pictures took 1.2 to 1.7
# times as long (python/bench/bench_load.py).
_PILLOW_PIXEL_BYTES = 4
_CONVERTED_ON_SAVE = ("1", "L", "P", "LA", "RGBA")


def _accept(prefix):
    # Only the signature here, so that other files never need the library;
    # _open applies the recognition test itself.
    return prefix[:2] == b"KX"


def _set_mode(image, mode):
    # Pillow 10.1 made `mode` a read-only property over `_mode`.
    if hasattr(image, "_mode"):
        image._mode = mode
    else:
        image.mode = mode


def _truncated_error(report, width, height):
    return OSError(
        f"image file is truncated (the stream ends after {report.decoded_pixels} of {width * height} pixels)"
    )


class KxImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "KX image"

    def _open(self):
        self._kx_start = self.fp.tell()
        head = self.fp.read(kx.HEADER_BYTES)
        info = kx.probe(head)
        if info.recognition != kx.OK:
            raise SyntaxError(f"not a KX image: {kx.result_text(info.recognition)}")
        _set_mode(self, "RGB")
        self._size = (info.width, info.height)
        self._kx_max_input_bytes = info.max_input_bytes
        # The tile serves Pillow's generic load; load() below decodes without
        # it.
        self.tile = [(DECODER, (0, 0) + self.size, self._kx_start, (info.max_input_bytes,))]

    # A load_seek tells ImageFile.Parser that this plug-in loads by itself:
    # it keeps the pieces until close() and then opens and loads the whole,
    # so that a short stream follows LOAD_TRUNCATED_IMAGES there too (fed
    # through a decoder, the pieces could not tell a short file from one
    # still arriving).
    def load_seek(self, position):
        self.fp.seek(position)

    def load(self):
        if self.tile and self.fp is not None and _map_buffer is not None:
            self._load_mapped()
        return ImageFile.ImageFile.load(self)

    def _load_mapped(self):
        width, height = self.size
        stride_bytes = width * _PILLOW_PIXEL_BYTES
        self.fp.seek(self._kx_start)
        data = self.fp.read(self._kx_max_input_bytes)
        pixels = kx._pixel_buffer(stride_bytes * height)
        report = kx.decode_into(data, "RGBA", pixels, stride_bytes)
        del data
        # The file may have changed since _open read its header.
        if (report.width, report.height) != self.size:
            raise OSError(f"KX header changed from {width} x {height} to {report.width} x {report.height}")
        if not report.complete and not ImageFile.LOAD_TRUNCATED_IMAGES:
            raise _truncated_error(report, width, height)
        # The buffer is this image's alone, so Pillow may write into it: the
        # image is not marked read-only, unlike a mapping of a file.
        self.im = _map_buffer(pixels, self.size, "raw", 0, ("RGB", stride_bytes, 1))
        self.readonly = 0
        self.tile = []
        self.load_end()
        if self._exclusive_fp and getattr(self, "_close_exclusive_fp_after_loading", True):
            self.fp.close()
        self.fp = None


def _rgb_map_buffer():
    """Image.core.map_buffer, what Image.frombuffer maps with, when it maps
    the library's RGBA rows as an RGB image here; None otherwise (were it
    gone, or RGB pixels ever kept otherwise), and load() then takes
    Pillow's generic path through KxDecoder."""
    map_buffer = getattr(Image.core, "map_buffer", None)
    if map_buffer is None:
        return None
    try:
        rows = bytearray(b"\x01\x02\x03\xff\x04\x05\x06\xff")
        im = Image.new("RGB", (1, 1))._new(map_buffer(rows, (2, 1), "raw", 0, ("RGB", 8, 1)))
        return map_buffer if im.tobytes() == b"\x01\x02\x03\x04\x05\x06" else None
    except (TypeError, ValueError):
        return None


_map_buffer = _rgb_map_buffer()


class KxDecoder(ImageFile.PyDecoder):
    """The whole file in one decode, for Pillow's generic load, which hands
    the decoder the file."""

    _pulls_fd = True

    def decode(self, buffer):
        width, height = self.state.xsize, self.state.ysize
        data = self.fd.read(self.args[0])
        stride_bytes = width * 3
        pixels = kx._pixel_buffer(stride_bytes * height)
        report = kx.decode_into(data, "RGB", pixels, stride_bytes)
        if (report.width, report.height) != (width, height):
            raise OSError(f"KX header changed from {width} x {height} to {report.width} x {report.height}")
        if not report.complete and not ImageFile.LOAD_TRUNCATED_IMAGES:
            raise _truncated_error(report, width, height)
        # Pillow's raw decoder takes bytes only.
        self.set_as_raw(pixels[:], "RGB")
        return -1, 0


def _save(im, fp, filename):
    # Read before converting: the converted copy has no encoderinfo.
    level = im.encoderinfo.get("level", kx.DEFAULT_LEVEL)
    threads = im.encoderinfo.get("threads", 0)
    if im.mode in _CONVERTED_ON_SAVE:
        im = im.convert("RGB")
    elif im.mode != "RGB":
        raise OSError(f"cannot write mode {im.mode} as KX")
    # Top-down BGR rows without gaps are the writer's own form: the library
    # makes no converted copy of them.
    pixels = im.tobytes("raw", "BGR")
    width, height = im.size
    fp.write(kx.encode(pixels, width, height, "BGR", level=level, threads=threads))


def register():
    """Registers KX with Pillow (done on import; calling it again changes
    nothing)."""
    # Pillow appends the format to Image.ID on every register_open: once is
    # enough, and a second entry would have every file tried twice.
    if FORMAT not in Image.ID:
        Image.register_open(FORMAT, KxImageFile, _accept)
    Image.register_save(FORMAT, _save)
    Image.register_extension(FORMAT, EXTENSION)
    Image.register_mime(FORMAT, MIME)
    Image.register_decoder(DECODER, KxDecoder)


register()

__all__ = ["KxDecoder", "KxImageFile", "register"]

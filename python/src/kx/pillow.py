"""KX for Pillow. Importing this module registers the format:

    from PIL import Image
    import kx.pillow
    Image.open("picture.kx").save("picture.png")

Opening reads the 16-byte header alone; load() reads at most what a stream
for that picture can use and decodes it in one kx_decode call, which lets
the library decode a large picture on two threads.
ImageFile.Parser, fed a picture in pieces as it arrives, decodes each piece
as it comes (KxDecoder), keeping no copy of what came before. Saving writes
RGB pictures as they are and 1, L, P, LA and RGBA ones converted to RGB,
alpha dropped: Image.save("x.kx", level=N), N from 1 (fastest) to 9
(smallest), 6 by default; decode_speed=N, N from 1 to 9, trades some bytes
for a file that decodes faster (0, the default, for none).
"""

import ctypes

from PIL import Image, ImageFile

import kx
from kx._library import kx_decode_report, kx_decoder_options, library

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
        # The tile serves ImageFile.Parser (through KxDecoder); load() below
        # decodes without it.
        self.tile = [(DECODER, (0, 0) + self.size, self._kx_start, (info.max_input_bytes,))]

    def load(self):
        if self.tile and self.fp is not None:
            self._load_whole()
        return ImageFile.ImageFile.load(self)

    def _load_whole(self):
        # The whole file is at hand: one kx_decode call, not the decoder in
        # pieces that Pillow's generic load would feed, which runs on the
        # calling thread alone.
        width, height = self.size
        mapped = _map_buffer is not None
        stride_bytes = width * (_PILLOW_PIXEL_BYTES if mapped else 3)
        self.fp.seek(self._kx_start)
        data = self.fp.read(self._kx_max_input_bytes)
        pixels = kx._pixel_buffer(stride_bytes * height)
        report = kx.decode_into(data, "RGBA" if mapped else "RGB", pixels, stride_bytes)
        del data
        # The file may have changed since _open read its header.
        if (report.width, report.height) != self.size:
            raise OSError(f"KX header changed from {width} x {height} to {report.width} x {report.height}")
        if not report.complete and not ImageFile.LOAD_TRUNCATED_IMAGES:
            raise _truncated_error(report, width, height)
        if mapped:
            self.im = _map_buffer(pixels, self.size, "raw", 0, ("RGB", stride_bytes, 1))
        else:
            self.load_prepare()
            _copy_rgb_rows(self.im, pixels, width, 0, height)
        # The pixels are this image's alone, so Pillow may write into them:
        # the image is not marked read-only, unlike a mapping of a file.
        self.readonly = 0
        self.tile = []
        self.load_end()
        if self._exclusive_fp and getattr(self, "_close_exclusive_fp_after_loading", True):
            self.fp.close()
        self.fp = None


# Rows handed to Pillow's raw decoder a band at a time: each band is copied
# out of the decode buffer first, and a band of about 1 MiB stays in the
# second-level cache between that copy and Pillow's.
_COPY_BAND_BYTES = 1 << 20


def _copy_rgb_rows(im, pixels, width, first, end):
    """Rows [first, end) of top-down RGB rows without padding in `pixels`
    into Pillow's image `im`, through its raw decoder."""
    row_bytes = width * 3
    band_rows = max(1, _COPY_BAND_BYTES // row_bytes)
    for top in range(first, end, band_rows):
        bottom = min(end, top + band_rows)
        raw = Image._getdecoder("RGB", "raw", ("RGB", 0, 1))
        raw.setimage(im, (0, top, width, bottom))
        raw.decode(pixels[top * row_bytes : bottom * row_bytes])


def _rgb_map_buffer():
    """Image.core.map_buffer, what Image.frombuffer maps with, when it maps
    the library's RGBA rows as an RGB image here; None otherwise (were it
    gone, or RGB pixels ever kept otherwise), and load() then copies the
    decoded rows into an image of Pillow's own."""
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
    """Decodes the file as Pillow hands it over, in pieces of any size, and
    copies each row into the image once it is final: ImageFile.Parser fed
    in pieces, and Pillow's generic load, do work in proportion to the bytes
    fed. The pieces run from the file's first byte. Once the picture is
    complete, decode() says so and later bytes are not looked at.

    Both callers append each new piece to what decode() left unconsumed, so
    decode() leaves the last byte of every piece (already decoded): a call
    that brings nothing new, which is how ImageFile.Parser.close() (or a
    feed of b"") asks for the rest, ends the stream. A stream that ended
    early is then completed as a viewer shows it when
    ImageFile.LOAD_TRUNCATED_IMAGES is set, and raises OSError otherwise.
    Pillow's generic load ends it through cleanup()."""

    def init(self, args):
        self._decoder = None
        self._pixels = None
        self._rows_copied = 0
        self._left_bytes = None  # what the last call left unconsumed: None before the first
        self._done = False

    def decode(self, buffer):
        if self._done:
            return -1, 0
        n = len(buffer)
        if n == self._left_bytes:
            return self._end_of_stream()
        if self._decoder is None:
            # The decoder starts from the header's 16 bytes, which the first
            # pieces may not hold: they stay with the caller until it does.
            if n < kx.HEADER_BYTES:
                self._left_bytes = n
                return 0, 0
            self._start(bytes(buffer[: kx.HEADER_BYTES]))
            fresh = buffer
        else:
            fresh = buffer[self._left_bytes :]
        rows = ctypes.c_int32(0)
        data, data_bytes = kx._readable(fresh)
        library().kx_decoder_push(self._decoder, data, data_bytes, ctypes.byref(rows))
        self._copy_rows(rows.value)
        if rows.value == self.state.ysize:
            self._finish()
            return -1, 0
        self._left_bytes = 1
        return n - 1, 0

    def cleanup(self):
        # Pillow's generic load ends here, also when the file ended early
        # and LOAD_TRUNCATED_IMAGES let it go on: the rest of the picture is
        # completed as a viewer shows it.
        if self._decoder is not None and not self._done:
            self._finish()
        self._release()

    def __del__(self):
        self._release()

    def _start(self, head):
        width, height = self.state.xsize, self.state.ysize
        info = kx.probe(head)
        if (info.width, info.height) != (width, height):
            raise OSError(f"KX header changed from {width} x {height} to {info.width} x {info.height}")
        stride_bytes = width * 3
        self._pixels = kx._pixel_buffer(stride_bytes * height)
        pixels, pixels_bytes = kx._writable(self._pixels)
        options = kx_decoder_options(
            struct_bytes=ctypes.sizeof(kx_decoder_options),
            layout=kx.LAYOUTS["RGB"],
            dst=ctypes.addressof(pixels),
            stride_bytes=stride_bytes,
            dst_bytes=pixels_bytes,
        )
        decoder = ctypes.c_void_p()
        result = library().kx_decoder_create(head, len(head), ctypes.byref(options), ctypes.byref(decoder))
        if result != kx.OK:
            raise kx.KxError(result, "cannot decode")
        self._decoder = decoder

    def _copy_rows(self, rows_final):
        # Pillow keeps its own copy of the pixels (4 bytes a pixel): rows
        # final since the last piece go over through its raw decoder, each
        # row once.
        if rows_final <= self._rows_copied:
            return
        first, self._rows_copied = self._rows_copied, rows_final
        _copy_rgb_rows(self.im, self._pixels, self.state.xsize, first, rows_final)

    def _finish(self):
        report = kx_decode_report(struct_bytes=ctypes.sizeof(kx_decode_report))
        library().kx_decoder_finish(self._decoder, ctypes.byref(report))
        self._copy_rows(self.state.ysize)
        self._done = True
        self._release()
        return report

    def _end_of_stream(self):
        if self._decoder is None:
            raise OSError("image file is truncated (shorter than the KX header)")
        report = self._finish()
        if not report.complete and not ImageFile.LOAD_TRUNCATED_IMAGES:
            raise _truncated_error(report, self.state.xsize, self.state.ysize)
        return -1, 0

    def _release(self):
        if getattr(self, "_decoder", None) is not None:
            library().kx_decoder_destroy(self._decoder)
            self._decoder = None


def _save(im, fp, filename):
    # Read before converting: the converted copy has no encoderinfo.
    level = im.encoderinfo.get("level", kx.DEFAULT_LEVEL)
    threads = im.encoderinfo.get("threads", 0)
    decode_speed = im.encoderinfo.get("decode_speed", 0)
    if im.mode in _CONVERTED_ON_SAVE:
        im = im.convert("RGB")
    elif im.mode != "RGB":
        raise OSError(f"cannot write mode {im.mode} as KX")
    # Top-down BGR rows without gaps are the writer's own form: the library
    # makes no converted copy of them.
    pixels = im.tobytes("raw", "BGR")
    width, height = im.size
    fp.write(kx.encode(pixels, width, height, "BGR", level=level, threads=threads, decode_speed=decode_speed))


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

"""KX pictures in Python, through libkx.so.1.

    info = kx.probe(head)                  # what a header says
    picture = kx.decode(data)              # its pixels, top row first
    data = kx.encode(pixels, width, height, level=6)

`import kx.pillow` registers the format with Pillow instead.
"""

import ctypes
import mmap
import operator
from typing import NamedTuple

from ._library import ENV_VAR, SONAME, LibraryNotFoundError, library
from ._library import kx_decode_report as _kx_decode_report
from ._library import kx_encode_options as _kx_encode_options
from ._library import kx_info as _kx_info

# The project's version; configure refuses one that differs.
__version__ = "1.0.0"

__all__ = [
    "DEFAULT_LEVEL",
    "ENV_VAR",
    "HEADER_BYTES",
    "LAYOUTS",
    "MAX_DECODE_SPEED",
    "MAX_SIDE",
    "RESULT_CODES",
    "SONAME",
    "DecodeReport",
    "Info",
    "KxError",
    "LibraryNotFoundError",
    "Picture",
    "decode",
    "decode_into",
    "encode",
    "library",
    "probe",
    "result_text",
    "version",
]

HEADER_BYTES = 16
MAX_SIDE = 8192
DEFAULT_LEVEL = 6
MAX_DECODE_SPEED = 9

# kx_result, as kx.h numbers it (tests/check_result_codes.py holds this
# table to the header).
RESULT_CODES = {
    "KX_OK": 0,
    "KX_ERR_TRUNCATED_HEADER": 1,
    "KX_ERR_NOT_KX": 2,
    "KX_ERR_CODING": 3,
    "KX_ERR_BYTES_PER_PIXEL": 4,
    "KX_ERR_SIDE_RANGE": 5,
    "KX_ERR_NO_PIXELS": 6,
    "KX_ERR_TOO_LARGE": 7,
    "KX_ERR_NULL_POINTER": 8,
    "KX_ERR_BAD_LAYOUT": 9,
    "KX_ERR_BAD_STRIDE": 10,
    "KX_ERR_BUFFER_TOO_SMALL": 11,
    "KX_ERR_BAD_SIZE": 12,
    "KX_ERR_BAD_LEVEL": 13,
    "KX_ERR_BAD_STRUCT_SIZE": 14,
    "KX_ERR_WINDOW_TOO_SMALL": 15,
    "KX_ERR_OUT_OF_MEMORY": 16,
    "KX_ERR_FINISHED": 17,
}
OK = RESULT_CODES["KX_OK"]
ERR_BAD_LAYOUT = RESULT_CODES["KX_ERR_BAD_LAYOUT"]
ERR_BAD_SIZE = RESULT_CODES["KX_ERR_BAD_SIZE"]

# kx_layout: bytes of each pixel in the order named; BGR_BOTTOM_UP is a
# Windows bitmap's (rows from the bottom up, padded to 4 bytes).
LAYOUTS = {"BGR_BOTTOM_UP": 0, "BGR": 1, "RGB": 2, "RGBA": 3, "BGRA": 4}


class KxError(OSError):
    """A call of libkx refused its input; `code` is the kx_result."""

    def __init__(self, code, what=""):
        self.code = code
        text = result_text(code)
        super().__init__(f"{what}: {text}" if what else text)


class Info(NamedTuple):
    """kx_info: the header, the recognition test's verdict (`recognition`,
    0 when a reader accepts the file), whether it decodes (`decoding`, 0
    when it does) and the most bytes of the file decoding can read."""

    width: int
    height: int
    coding: int
    bytes_per_pixel: int
    recognition: int
    decoding: int
    max_input_bytes: int


class DecodeReport(NamedTuple):
    """kx_decode_report: `complete` is False when the stream ended early and
    the rest of the picture was completed as readers complete it."""

    width: int
    height: int
    complete: bool
    decoded_pixels: int


class Picture(NamedTuple):
    width: int
    height: int
    layout: str
    stride_bytes: int
    pixels: memoryview
    complete: bool
    decoded_pixels: int


def result_text(code):
    return library().kx_result_text(int(code)).decode("ascii", "replace")


def version():
    """The loaded library's version string, e.g. "1.0.0"."""
    return library().kx_version_string().decode("ascii")


# The ranges of the C types the library's parameters have: ctypes would
# pass any Python integer on modulo 2**bits, so that 2**32 + 4 became 4.
_INT_RANGE = (-(2**31), 2**31 - 1)  # int and int32_t
_UNSIGNED_RANGE = (0, 2**32 - 1)
_SIZE_RANGE = (0, 2 ** (8 * ctypes.sizeof(ctypes.c_size_t)) - 1)


def _c_integer(value, name, bounds):
    """`value` as an int inside `bounds` (low, high) of its C type; raises
    TypeError for what is not an integer and OverflowError, naming the
    argument, for one outside the type."""
    number = operator.index(value)
    low, high = bounds
    if not low <= number <= high:
        raise OverflowError(f"{name} {number} is outside the C type's range {low}..{high}")
    return number


def _layout_number(layout):
    if isinstance(layout, str):
        if layout not in LAYOUTS:
            raise KxError(ERR_BAD_LAYOUT, f"layout {layout!r}")
        return LAYOUTS[layout]
    return _c_integer(layout, "layout", _INT_RANGE)


def _readable(data):
    """(argument for a const void* parameter, its length in bytes).

    bytes pass as they are and writable buffers through ctypes.from_buffer,
    both without a copy; ctypes cannot point into other read-only buffers,
    so those are copied once."""
    if isinstance(data, bytes):
        return data, len(data)
    view = memoryview(data)
    if not view.c_contiguous:
        raise ValueError("the input must be one contiguous buffer")
    if view.readonly:
        return view.tobytes(), view.nbytes
    return (ctypes.c_char * view.nbytes).from_buffer(view.cast("B")), view.nbytes


def _writable(buffer):
    view = memoryview(buffer)
    if view.readonly or not view.c_contiguous:
        raise TypeError("the output must be a writable contiguous buffer (e.g. a bytearray)")
    return (ctypes.c_char * view.nbytes).from_buffer(view.cast("B")), view.nbytes


def _pixel_buffer(nbytes):
    """A writable buffer of nbytes whose pages are first touched by whoever
    writes them. A bytearray is zero-filled when made: for a 12-megapixel
    picture in 4-byte pixels that alone took longer than decoding it."""
    return mmap.mmap(-1, max(nbytes, 1))


def probe(data):
    """Reads the header at the start of `data` (bytes-like; only the first
    16 bytes are looked at). Never raises for what the bytes say: a file that
    is not KX has `recognition` and `decoding` other than 0."""
    head = memoryview(data).cast("B")[:HEADER_BYTES].tobytes()
    head_bytes = len(head)
    info = _kx_info(struct_bytes=ctypes.sizeof(_kx_info))
    library().kx_probe(head, head_bytes, ctypes.byref(info))
    return Info(
        info.width,
        info.height,
        info.coding,
        info.bytes_per_pixel,
        info.recognition,
        info.decoding,
        info.max_input_bytes,
    )


def decode_into(data, layout, out, stride_bytes):
    """Decodes the KX file in `data` into the writable buffer `out`: rows of
    the picture's width in `layout`, `stride_bytes` apart. Only the pixels
    of each row are written. Raises KxError when the header or the
    arguments are refused (nothing written); a stream that ends early is
    not an error (see DecodeReport.complete)."""
    number = _layout_number(layout)
    stride_bytes = _c_integer(stride_bytes, "stride_bytes", _SIZE_RANGE)
    src, src_bytes = _readable(data)
    dst, dst_bytes = _writable(out)
    report = _kx_decode_report(struct_bytes=ctypes.sizeof(_kx_decode_report))
    result = library().kx_decode(
        src, src_bytes, number, dst, stride_bytes, dst_bytes, ctypes.byref(report)
    )
    if result != OK:
        raise KxError(result, "cannot decode")
    return DecodeReport(report.width, report.height, bool(report.complete), report.decoded_pixels)


def decode(data, layout="RGB"):
    """Decodes a whole KX file into new memory, as a writable memoryview of
    rows without gaps (BGR_BOTTOM_UP: padded to 4 bytes, as a Windows
    bitmap)."""
    lib = library()
    number = _layout_number(layout)
    info = probe(data)
    if info.decoding != OK:
        raise KxError(info.decoding, "cannot decode")
    stride_bytes = lib.kx_default_stride(info.width, number)
    if stride_bytes == 0:
        raise KxError(ERR_BAD_LAYOUT, f"layout {layout!r}")
    pixels = memoryview(_pixel_buffer(lib.kx_buffer_bytes(info.width, info.height, number, stride_bytes)))
    report = decode_into(data, number, pixels, stride_bytes)
    name = layout if isinstance(layout, str) else next(k for k, v in LAYOUTS.items() if v == number)
    return Picture(
        report.width, report.height, name, stride_bytes, pixels, report.complete, report.decoded_pixels
    )


def encode(pixels, width, height, layout="RGB", *, level=0, stride_bytes=0, threads=0, decode_speed=0):
    """Encodes height rows of width pixels (bytes-like, in `layout`, rows
    `stride_bytes` apart: 0 for rows without gaps) into a KX file every
    reader accepts, returned as bytes. level: 1 (fastest) to 9
    (smallest), 0 for the library's default (6). threads: 0 or 1 for the
    calling thread; the file is the same whatever the number.
    decode_speed: 0 for the smallest file the level finds, 1 to
    MAX_DECODE_SPEED for a file that decodes faster for some more
    bytes, written at level 9's speed whatever the level."""
    lib = library()
    width = _c_integer(width, "width", _INT_RANGE)
    height = _c_integer(height, "height", _INT_RANGE)
    level = _c_integer(level, "level", _INT_RANGE)
    decode_speed = _c_integer(decode_speed, "decode_speed", _INT_RANGE)
    stride_bytes = _c_integer(stride_bytes, "stride_bytes", _SIZE_RANGE)
    threads = operator.index(threads)
    if threads < 0:
        raise ValueError(f"threads must be 0 or more, not {threads}")
    threads = _c_integer(threads, "threads", _UNSIGNED_RANGE)
    number = _layout_number(layout)
    if stride_bytes == 0:
        stride_bytes = lib.kx_default_stride(width, number) if 1 <= width <= MAX_SIDE else 0
    bound_bytes = lib.kx_encode_bound(width, height)
    if bound_bytes == 0:
        raise KxError(ERR_BAD_SIZE, f"cannot encode {width} x {height}")
    src, src_bytes = _readable(pixels)
    options = _kx_encode_options(
        struct_bytes=ctypes.sizeof(_kx_encode_options), level=level, threads=threads, decode_speed=decode_speed
    )
    out = _pixel_buffer(bound_bytes)
    dst, dst_bytes = _writable(out)
    file_bytes = ctypes.c_size_t(0)
    result = lib.kx_encode(
        src, src_bytes, width, height, number, stride_bytes, ctypes.byref(options), dst, dst_bytes,
        ctypes.byref(file_bytes),
    )
    del dst  # the export of `out` ends here, so that it can be closed
    try:
        if result != OK:
            raise KxError(result, f"cannot encode {width} x {height}")
        return out[: file_bytes.value]
    finally:
        out.close()

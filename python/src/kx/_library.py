"""Loading libkx.so.1 and declaring the calls of kx.h to ctypes.

The library is opened on first use, not at import: an application that
registers the Pillow plug-in at start-up keeps working without libkx, and
only opening a KX picture reports it missing.
"""

import ctypes
import os
import threading

SONAME = "libkx.so.1"
ENV_VAR = "KX_LIBRARY"
# The interface this binding was written against: kx.h 1.x. A later minor
# version only adds calls and record fields.
MAJOR_VERSION = 1


class LibraryNotFoundError(OSError):
    """libkx.so.1 could not be loaded (not installed, or KX_LIBRARY wrong)."""


class kx_info(ctypes.Structure):
    _fields_ = [
        ("struct_bytes", ctypes.c_size_t),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("coding", ctypes.c_uint8),
        ("bytes_per_pixel", ctypes.c_uint8),
        ("recognition", ctypes.c_int),
        ("decoding", ctypes.c_int),
        ("max_input_bytes", ctypes.c_uint64),
    ]


class kx_decode_report(ctypes.Structure):
    _fields_ = [
        ("struct_bytes", ctypes.c_size_t),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("complete", ctypes.c_int),
        ("decoded_pixels", ctypes.c_uint64),
    ]


class kx_encode_options(ctypes.Structure):
    _fields_ = [
        ("struct_bytes", ctypes.c_size_t),
        ("level", ctypes.c_int),
        ("threads", ctypes.c_uint),
        ("flags", ctypes.c_uint),
        ("decode_speed", ctypes.c_int),
    ]


class kx_decoder_options(ctypes.Structure):
    _fields_ = [
        ("struct_bytes", ctypes.c_size_t),
        ("layout", ctypes.c_int),
        ("dst", ctypes.c_void_p),
        ("stride_bytes", ctypes.c_size_t),
        ("dst_bytes", ctypes.c_size_t),
        ("window", ctypes.c_void_p),
        ("window_bytes", ctypes.c_size_t),
    ]


_lock = threading.Lock()
_library = None


def _declare(lib):
    size_t = ctypes.c_size_t
    void_p = ctypes.c_void_p
    lib.kx_result_text.argtypes = [ctypes.c_int]
    lib.kx_result_text.restype = ctypes.c_char_p
    lib.kx_version_number.argtypes = []
    lib.kx_version_number.restype = ctypes.c_uint
    lib.kx_version_string.argtypes = []
    lib.kx_version_string.restype = ctypes.c_char_p
    lib.kx_probe.argtypes = [void_p, size_t, ctypes.POINTER(kx_info)]
    lib.kx_probe.restype = ctypes.c_int
    lib.kx_default_stride.argtypes = [ctypes.c_int32, ctypes.c_int]
    lib.kx_default_stride.restype = size_t
    lib.kx_buffer_bytes.argtypes = [ctypes.c_int32, ctypes.c_int32, ctypes.c_int, size_t]
    lib.kx_buffer_bytes.restype = ctypes.c_uint64
    lib.kx_decode.argtypes = [void_p, size_t, ctypes.c_int, void_p, size_t, size_t, ctypes.POINTER(kx_decode_report)]
    lib.kx_decode.restype = ctypes.c_int
    # A decoder in pieces: an opaque kx_decoder*, a void pointer here.
    lib.kx_decoder_create.argtypes = [void_p, size_t, ctypes.POINTER(kx_decoder_options), ctypes.POINTER(void_p)]
    lib.kx_decoder_create.restype = ctypes.c_int
    lib.kx_decoder_push.argtypes = [void_p, void_p, size_t, ctypes.POINTER(ctypes.c_int32)]
    lib.kx_decoder_push.restype = ctypes.c_int
    lib.kx_decoder_finish.argtypes = [void_p, ctypes.POINTER(kx_decode_report)]
    lib.kx_decoder_finish.restype = ctypes.c_int
    lib.kx_decoder_destroy.argtypes = [void_p]
    lib.kx_decoder_destroy.restype = None
    lib.kx_encode_bound.argtypes = [ctypes.c_int32, ctypes.c_int32]
    lib.kx_encode_bound.restype = ctypes.c_uint64
    lib.kx_encode.argtypes = [
        void_p,
        size_t,
        ctypes.c_int32,
        ctypes.c_int32,
        ctypes.c_int,
        size_t,
        ctypes.POINTER(kx_encode_options),
        void_p,
        size_t,
        ctypes.POINTER(size_t),
    ]
    lib.kx_encode.restype = ctypes.c_int


def library():
    """The loaded libkx, opened on the first call.

    KX_LIBRARY, when set, names the file to load (a build tree's
    libkx.so.1); otherwise the libkx.so.1 a wheel carries beside the
    package; otherwise the dynamic loader finds libkx.so.1 by its SONAME,
    as for any installed library.
    """
    global _library
    if _library is not None:
        return _library
    with _lock:
        if _library is None:
            _library = _load()
    return _library


def _bundled():
    """The libkx.so.1 a wheel carries beside this file, or None (an install
    from the sources, or Debian's package, which use the system's)."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), SONAME)
    return path if os.path.isfile(path) else None


def _load():
    path = os.environ.get(ENV_VAR) or _bundled() or SONAME
    try:
        lib = ctypes.CDLL(path)
    except OSError as error:
        if path == SONAME:
            where = f"{SONAME} is not installed where the dynamic loader looks; set {ENV_VAR} to its path"
        else:
            where = f"{ENV_VAR}={path} does not name a loadable {SONAME}"
        raise LibraryNotFoundError(f"cannot load the KX library: {where} ({error})") from None
    try:
        _declare(lib)
    except AttributeError as error:
        raise LibraryNotFoundError(f"{path} is not {SONAME}: {error}") from None
    major = lib.kx_version_number() // 10000
    if major != MAJOR_VERSION:
        raise LibraryNotFoundError(
            f"{path} is version {lib.kx_version_string().decode()}, this binding needs {SONAME} {MAJOR_VERSION}.x"
        )
    return lib

"""Finding and loading libdyadc.so, and the C prototypes of its functions.

The library is looked for, in this order:
  1. the path in the environment variable DYADC_LIBRARY (nothing else is
     tried when it is set, so that a wrong path is reported, not papered over);
  2. the library installed together with this package: the build writes its
     location, relative to the package directory, into ``_location.py``;
  3. the system's loader, by the name ``libdyadc.so.<major>``.
The library is loaded on first use, so that ``import dyadc`` works without it.
"""

from __future__ import annotations

import ctypes
import importlib
import os
import threading
from typing import Any

# The major version this module speaks to; the library's soname carries it.
VERSION_MAJOR = 2
SONAME = f"libdyadc.so.{VERSION_MAJOR}"

NAME_BUFFER_SIZE = 260  # DYAD_NAME_BUFFER_SIZE
IDENTIFIER_BUFFER_SIZE = 80  # DYAD_IDENTIFIER_BUFFER_SIZE
IDENTIFIER_MAX = 63  # DYAD_IDENTIFIER_MAX
BLOCK_LAST = 20  # DYAD_BLOCK_LAST
BLOCK_FIRST = 21  # DYAD_BLOCK_FIRST
BLOCK_MORE = 22  # DYAD_BLOCK_MORE

IdentifierCallback = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p)
VerifyCallback = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_char_p)
ProgressCallback = ctypes.CFUNCTYPE(None, ctypes.c_double)

_PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "DyadOpen": (ctypes.c_int32, [IdentifierCallback, VerifyCallback, ctypes.c_uint32, ctypes.c_int32]),
    "DyadOpenXOver": (
        ctypes.c_int32,
        [IdentifierCallback, VerifyCallback, ctypes.c_uint32, ctypes.c_int32, ctypes.c_char_p],
    ),
    "DyadClose": (ctypes.c_int32, []),
    "DyadSetLog": (ctypes.c_int32, [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_int32]),
    "DyadSendDataBlock": (
        ctypes.c_int32,
        [
            ctypes.c_char_p,
            ctypes.c_char_p,
            ctypes.c_uint32,
            ctypes.c_void_p,
            ctypes.c_uint32,
            ctypes.c_int32,
            ProgressCallback,
        ],
    ),
    "DyadRecvDataBlock": (
        ctypes.c_int32,
        [
            ctypes.c_void_p,
            ctypes.c_void_p,
            ctypes.c_uint32,
            ctypes.c_void_p,
            ctypes.c_uint32,
            ctypes.POINTER(ctypes.c_int32),
            ctypes.POINTER(ctypes.c_int32),
            ProgressCallback,
        ],
    ),
}

_lock = threading.Lock()
_library: ctypes.CDLL | None = None


def candidates() -> list[str]:
    """Where the library is looked for, in order."""
    explicit = os.environ.get("DYADC_LIBRARY")
    if explicit:
        return [explicit]
    found: list[str] = []
    try:
        location = importlib.import_module(".._location", __name__)  # written by the build
    except ImportError:
        pass
    else:
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), str(location.LIBRARY))
        if os.path.exists(path):
            found.append(os.path.normpath(path))
    found.append(SONAME)
    return found


def library() -> ctypes.CDLL:
    """The loaded libdyadc, with the prototypes of its six functions."""
    global _library
    with _lock:
        if _library is None:
            failures = []
            for path in candidates():
                try:
                    loaded = ctypes.CDLL(path)
                except OSError as error:
                    failures.append(f"{path}: {error}")
                    continue
                for name, (result, arguments) in _PROTOTYPES.items():
                    function = getattr(loaded, name)
                    function.restype = result
                    function.argtypes = arguments
                _library = loaded
                break
            else:
                raise OSError("libdyadc could not be loaded (" + "; ".join(failures) + ")")
        return _library


# --- Read-only buffers --------------------------------------------------------
#
# ctypes hands out the address only of writable buffers. A read-only one
# (bytes, a memoryview of bytes, a read-only mmap) is reached through the
# buffer protocol itself: PyObject_GetBuffer gives its address and pins the
# exporter until PyBuffer_Release, so that the memory cannot move or go away
# while the library reads it.


class _PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),  # released by PyBuffer_Release
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
        ("internal", ctypes.c_void_p),
    ]


_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(_PyBuffer)]
_release_buffer.restype = None

_PYBUF_SIMPLE = 0  # one contiguous run of bytes


class PinnedBuffer:
    """The address and length of an object's bytes, without a copy, held for
    the duration of a ``with`` block. Raises BufferError for an object whose
    bytes are not one contiguous run."""

    def __init__(self, data: Any) -> None:
        self._view = _PyBuffer()
        # Raises TypeError for objects without the buffer protocol and
        # BufferError for non-contiguous ones.
        _get_buffer(data, ctypes.byref(self._view), _PYBUF_SIMPLE)
        self._held = True

    @property
    def address(self) -> int | None:
        address = self._view.buf
        return None if address is None else int(address)

    @property
    def length(self) -> int:
        return int(self._view.len)

    def release(self) -> None:
        if self._held:
            self._held = False
            _release_buffer(ctypes.byref(self._view))

    def __enter__(self) -> PinnedBuffer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

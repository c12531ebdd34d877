"""libdravik through ctypes: where the library is found, its functions' prototypes, its statuses.

Private to the package. Every function here returns what the C call gave, its texts already
copied out of the library's buffers and decoded, so that nothing refers to memory the next call
may reuse. The calls that take no handle read dravik_last_error(NULL) on their own thread, the
only thread it speaks for.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional, Tuple

# The statuses of dravik.h; 0 to 4 are dravik-cli's exit statuses.
CONFIRMED = 0
NOT_CONFIRMED = 1
INVALID_ARGUMENT = 2
NO_METER = 3
PORT_UNAVAILABLE = 4
CANCELLED = 5
LOG_FAILED = 6
BAD_HANDLE = 7

if sys.platform == "win32":
    LIBRARY_FILE = "dravik.dll"
    # Python's DLL search leaves out PATH, so there is no "system" dravik.dll to fall back on.
    SYSTEM_LIBRARY: Optional[str] = None
else:
    LIBRARY_FILE = "libdravik.so.1"
    SYSTEM_LIBRARY = "libdravik.so.1"  # through the dynamic linker's own search

PACKAGE_DIR = Path(__file__).resolve().parent


class LibraryNotFound(OSError):
    """libdravik could not be loaded from any of the places looked in.

    ``tried`` lists each place as ``(place, why it failed)``, in the order they were tried:
    ``DRAVIK_LIBRARY`` (when set, the only place), the package's own folder, then the system's
    ``libdravik.so.1``.
    """

    def __init__(self, tried: List[Tuple[str, str]]) -> None:
        self.tried = tried
        places = "; ".join(f"{place}: {reason}" for place, reason in tried)
        super().__init__(f"libdravik could not be loaded. Tried {places}")


_CharOut = ctypes.POINTER(ctypes.c_char_p)
_HandleOut = ctypes.POINTER(ctypes.c_void_p)
_PROTOTYPES = {
    "dravik_version": (ctypes.c_char_p, []),
    "dravik_ports": (ctypes.c_int, [_CharOut]),
    "dravik_find": (ctypes.c_int, [ctypes.c_int, _CharOut]),
    "dravik_open": (ctypes.c_int, [ctypes.c_char_p, _HandleOut]),
    "dravik_port": (ctypes.c_int, [ctypes.c_void_p, _CharOut]),
    "dravik_open_log": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]),
    "dravik_set": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, _CharOut]),
    "dravik_cancel": (ctypes.c_int, [ctypes.c_void_p]),
    "dravik_last_error": (ctypes.c_char_p, [ctypes.c_void_p]),
    "dravik_close": (ctypes.c_int, [ctypes.c_void_p]),
}

_library: Optional[ctypes.CDLL] = None
_loading = threading.Lock()


def _places() -> Tuple[List[Tuple[str, str]], List[Tuple[str, str]]]:
    """The places to load from as (place, what ctypes loads), and those passed over with why.

    DRAVIK_LIBRARY, when set, is the only place: a test pointed at a build must not run on
    some other libdravik that happens to be installed.
    """
    named = os.environ.get("DRAVIK_LIBRARY", "")
    if named:
        return [(f"DRAVIK_LIBRARY={named}", named)], []
    beside = str(PACKAGE_DIR / LIBRARY_FILE)
    places = [(beside, beside)]
    if SYSTEM_LIBRARY is not None:
        places.append((f"the system's {SYSTEM_LIBRARY}", SYSTEM_LIBRARY))
    return places, [("DRAVIK_LIBRARY", "not set")]


def library() -> ctypes.CDLL:
    """The loaded library, loaded on first use; LibraryNotFound names every place tried."""
    global _library
    if _library is not None:
        return _library
    with _loading:
        if _library is not None:
            return _library
        places, tried = _places()
        for place, target in places:
            try:
                loaded = ctypes.CDLL(target)
                for name, (result, arguments) in _PROTOTYPES.items():
                    function = getattr(loaded, name)
                    function.restype = result
                    function.argtypes = arguments
            except (OSError, AttributeError) as error:
                reason = str(error)  # the dynamic linker's, which starts with what it loaded
                tried.append((place, reason[len(target) + 2:] if reason.startswith(target + ": ")
                              else reason))
                continue
            _library = loaded
            return loaded
        raise LibraryNotFound(tried)


def _decode(text: Optional[bytes]) -> str:
    # The library's texts are UTF-8; a byte that is not shows as U+FFFD rather than failing.
    return (text or b"").decode("utf-8", "replace")


def last_error(handle: Optional[int]) -> str:
    return _decode(library().dravik_last_error(handle))


def version() -> str:
    return _decode(library().dravik_version())


def ports() -> Tuple[int, str, str]:
    """(status, JSON lines, message)."""
    text = ctypes.c_char_p()
    status = library().dravik_ports(ctypes.byref(text))
    return status, _decode(text.value), last_error(None)


def find(every: bool) -> Tuple[int, str, str]:
    """(status, JSON lines, message)."""
    text = ctypes.c_char_p()
    status = library().dravik_find(1 if every else 0, ctypes.byref(text))
    return status, _decode(text.value), last_error(None)


def open_meter(port: Optional[bytes]) -> Tuple[int, Optional[int], str]:
    """(status, handle or None, message)."""
    handle = ctypes.c_void_p()
    status = library().dravik_open(port, ctypes.byref(handle))
    return status, handle.value, last_error(None) if handle.value is None else ""


def port(handle: int) -> Tuple[int, str, str]:
    text = ctypes.c_char_p()
    status = library().dravik_port(handle, ctypes.byref(text))
    return status, _decode(text.value), last_error(handle)


def open_log(handle: int, path: Optional[bytes], tags: Optional[bytes]) -> Tuple[int, str]:
    status = library().dravik_open_log(handle, path, tags)
    return status, last_error(handle)


def set_channel(handle: int, channel: bytes, level: bytes) -> Tuple[int, str, str]:
    """(status, the record's JSON or "", message)."""
    text = ctypes.c_char_p()
    status = library().dravik_set(handle, channel, level, ctypes.byref(text))
    return status, _decode(text.value), last_error(handle)


def cancel(handle: int) -> int:
    return int(library().dravik_cancel(handle))


def close(handle: int) -> int:
    return int(library().dravik_close(handle))

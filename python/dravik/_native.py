"""libdravik through ctypes: where the library is found, its functions' prototypes, its statuses.

Private to the package. Every function here returns what the C call gave, its texts read into
buffers of ours and decoded. A handle is the library's session number; the calls that need no
meter (the port list, the search) make a session of their own for the call.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import Callable, List, Optional, Tuple

# The statuses of dravik.h; 0 to 4 are dravik-cli's exit statuses. Copies of the session's table
# (session/statuses.h), which session_test holds them to.
CONFIRMED = 0
NOT_CONFIRMED = 1
INVALID_ARGUMENT = 2
NO_METER = 3
PORT_UNAVAILABLE = 4
CANCELLED = 5
LOG_FAILED = 6
BAD_HANDLE = 7
INTERNAL_ERROR = 8
BUSY = 9

if sys.platform == "win32":
    LIBRARY_FILE = "dravik.dll"
    # Python's DLL search leaves out PATH, so there is no "system" dravik.dll to fall back on.
    SYSTEM_LIBRARY: Optional[str] = None
else:
    LIBRARY_FILE = "libdravik.so.2"
    SYSTEM_LIBRARY = "libdravik.so.2"  # through the dynamic linker's own search

PACKAGE_DIR = Path(__file__).resolve().parent


class LibraryNotFound(OSError):
    """libdravik could not be loaded from any of the places looked in.

    ``tried`` lists each place as ``(place, why it failed)``, in the order they were tried:
    ``DRAVIK_LIBRARY`` (when set, the only place), the package's own folder, then the system's
    ``libdravik.so.2``.
    """

    def __init__(self, tried: List[Tuple[str, str]]) -> None:
        self.tried = tried
        places = "; ".join(f"{place}: {reason}" for place, reason in tried)
        super().__init__(f"libdravik could not be loaded. Tried {places}")


_Session = ctypes.c_int32
_Buffer = (ctypes.c_char_p, ctypes.c_int32)
_PROTOTYPES = {
    "dravik_version": (ctypes.c_char_p, []),
    "dravik_new": (ctypes.c_int32, [ctypes.POINTER(_Session)]),
    "dravik_open": (ctypes.c_int32, [_Session, ctypes.c_char_p]),
    "dravik_open_log": (ctypes.c_int32, [_Session, ctypes.c_char_p]),
    "dravik_set_tags": (ctypes.c_int32, [_Session, ctypes.c_char_p]),
    "dravik_set": (ctypes.c_int32, [_Session, ctypes.c_char_p, ctypes.c_char_p]),
    "dravik_ports": (ctypes.c_int32, [_Session]),
    "dravik_find": (ctypes.c_int32, [_Session, ctypes.c_int32]),
    "dravik_record": (ctypes.c_int32, [_Session, *_Buffer]),
    "dravik_error": (ctypes.c_int32, [_Session, *_Buffer]),
    "dravik_port": (ctypes.c_int32, [_Session, *_Buffer]),
    "dravik_list": (ctypes.c_int32, [_Session, *_Buffer]),
    "dravik_cancel": (ctypes.c_int32, [_Session]),
    "dravik_close": (ctypes.c_int32, [_Session]),
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


def _text(read: Callable[[int, Optional[ctypes.Array], int], int], session: int) -> str:
    """A session's text through a caller buffer: its length first, then the text. "" for a
    session the library does not know."""
    size = 0
    buffer = None
    while True:
        length = read(session, buffer, size)
        if length < 0:
            return ""
        if length < size:
            return _decode(buffer.value if buffer is not None else b"")
        size = length + 1
        buffer = ctypes.create_string_buffer(size)


def _error(session: int) -> str:
    return _text(library().dravik_error, session)


def version() -> str:
    return _decode(library().dravik_version())


def _listing(call: Callable[[int], int]) -> Tuple[int, str, str]:
    """(status, the session's list, its error) of a call made on a session of its own."""
    session = _Session()
    status = library().dravik_new(ctypes.byref(session))
    if status != CONFIRMED:
        return status, "", ""
    try:
        status = call(session.value)
        return status, _text(library().dravik_list, session.value), _error(session.value)
    finally:
        library().dravik_close(session.value)


def ports() -> Tuple[int, str, str]:
    """(status, JSON lines, message)."""
    return _listing(library().dravik_ports)


def find(every: bool) -> Tuple[int, str, str]:
    """(status, JSON lines, message)."""
    return _listing(lambda session: library().dravik_find(session, 1 if every else 0))


def open_meter(port: Optional[bytes]) -> Tuple[int, Optional[int], str]:
    """(status, session or None, message)."""
    session = _Session()
    status = library().dravik_new(ctypes.byref(session))
    if status != CONFIRMED:
        return status, None, ""
    status = library().dravik_open(session.value, port)
    if status == CONFIRMED:
        return status, session.value, ""
    message = _error(session.value)
    library().dravik_close(session.value)
    return status, None, message


def port(handle: int) -> Tuple[int, str, str]:
    return CONFIRMED, _text(library().dravik_port, handle), ""


def open_log(handle: int, path: Optional[bytes], tags: Optional[bytes]) -> Tuple[int, str]:
    """The tags, then the log: a tag refused opens no log."""
    status = library().dravik_set_tags(handle, tags)
    if status == CONFIRMED:
        status = library().dravik_open_log(handle, path)
    return status, _error(handle) if status != CONFIRMED else ""


def set_channel(handle: int, channel: bytes, level: bytes) -> Tuple[int, str, str]:
    """(status, the record's JSON or "", message)."""
    status = library().dravik_set(handle, channel, level)
    return status, _text(library().dravik_record, handle), _error(handle)


def cancel(handle: int) -> int:
    return int(library().dravik_cancel(handle))


def close(handle: int) -> int:
    return int(library().dravik_close(handle))

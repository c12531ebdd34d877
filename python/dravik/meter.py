"""The meter as a Python object, and the calls that need none: the port list and the search.

Every rule (which channel, which level, which tag, how a run stops) is the library's: what the
station gives goes to it as text, and its refusals come back as exceptions. Python checks only
what no text can carry (a NUL) and how the tags are joined into the one text the library takes.
"""

from __future__ import annotations

import os
import threading
import warnings
from decimal import Decimal
from typing import Callable, List, Mapping, Optional, Tuple, TypeVar, Union

from . import _native
from .errors import InvalidArgument, NoMeterFound, error_for
from .records import Port, Record, find_lines, json_lines

Channel = Union[str, int]
Level = Union[float, int, Decimal, str]
PathText = Union[str, bytes, "os.PathLike[str]"]

T = TypeVar("T")

# How long the caller's wait for a call on its worker thread lasts before it looks again. On
# Windows Ctrl-C does not break a wait, it is seen between them; on Linux it breaks one at once.
_WAIT_STEP = 0.02


def library_version() -> str:
    """The version of the libdravik loaded, e.g. "1.0.0.1"."""
    return _native.version()


def ports() -> List[Port]:
    """The serial ports in the order the search tries them. Opens none."""
    status, text, message = _native.ports()
    if status != _native.CONFIRMED:
        raise error_for(status, message, during_run=False)
    return [Port.from_json(o) for o in json_lines(text)]


def find(all: bool = False) -> List[str]:
    """Probes the ports as dravik-cli find does and returns the meter's port, or with
    ``all=True`` every port that answers (probed side by side, as find --all).

    Raises NoMeterFound, its ``.tried`` every port probed with what became of it.
    """
    status, text, message = _native.find(all)
    lines = find_lines(text)
    if status == _native.NO_METER:
        raise NoMeterFound(message, [(port, reason) for port, _, reason in lines])
    if status != _native.CONFIRMED:
        raise error_for(status, message, during_run=False)
    return [port for port, found, _ in lines if found]


def _number_text(value: object) -> str:
    """The text the library reads a channel or level from.

    A float is its shortest round-trip text, so 0.35 goes out as dravik-cli's "0.35" does; an
    int its digits; anything else as str() writes it, for the library to judge: True, nan, inf
    and "2.5x" are all texts it refuses, by the same rule as dravik-cli's.
    """
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, float):
        return float.__repr__(value)
    if isinstance(value, int):
        try:
            return int.__repr__(value)
        except ValueError:
            # More digits than Python turns into text (sys.set_int_max_str_digits).
            raise InvalidArgument(f"{value.bit_length()}-bit integer: too long to be a "
                                  "channel or a level") from None
    return str(value)


def _c_text(text: str, what: str) -> bytes:
    if "\0" in text:
        raise InvalidArgument(f"{what} {text!r} holds a NUL character, which no text of "
                              "libdravik can carry")
    # A lone surrogate becomes bytes that are not UTF-8, which the library refuses by its rule.
    return text.encode("utf-8", "surrogatepass")


def _tags_text(tags: Optional[Mapping[str, object]]) -> Optional[bytes]:
    """key=value pairs joined by ';', as dravik_open_log takes them; the library checks each
    pair, Python only that no key or value reads as a separator."""
    if not tags:
        return None
    pairs = []
    for key, value in tags.items():
        # Only what reads as one text: bytes or None would become "b'x'" or "None".
        if not isinstance(value, (str, int, float, Decimal)):
            raise InvalidArgument(f"tag {key}: a {type(value).__name__} value; a tag takes "
                                  "str, int, float or Decimal")
        pair = (str(key), _number_text(value) if isinstance(value, int) else str(value))
        if "=" in pair[0] or ";" in pair[0] or ";" in pair[1]:
            raise InvalidArgument(f"tag {pair[0]}={pair[1]}: '=' in a key or ';' anywhere would "
                                  "split it into other tags")
        pairs.append("=".join(pair))
    return _c_text(";".join(pairs), "tags")


def _run_waiting(work: Callable[[], T], on_interrupt: Callable[[], None]
                 ) -> Tuple[T, Optional[KeyboardInterrupt]]:
    """Runs `work` on a thread of its own, ctypes having let go of the GIL, and waits in steps
    that let Ctrl-C through. A KeyboardInterrupt meanwhile calls `on_interrupt` (each time: a
    second Ctrl-C must not lose the first one's cancel) and the wait goes on, so the call always
    ends and its result is never lost. Returns the result and the interrupt to re-raise."""
    done = threading.Event()
    outcome: List[Tuple[bool, object]] = []

    def run() -> None:
        try:
            outcome.append((True, work()))
        except BaseException as error:  # handed to the waiting thread, which raises it
            outcome.append((False, error))
        finally:
            done.set()

    threading.Thread(target=run, name="dravik call", daemon=True).start()
    interrupt: Optional[KeyboardInterrupt] = None
    while not done.is_set():
        try:
            done.wait(_WAIT_STEP)
        except KeyboardInterrupt as caught:
            interrupt = interrupt or caught
            on_interrupt()
    succeeded, value = outcome[0]
    if not succeeded:
        raise value  # type: ignore[misc]
    return value, interrupt  # type: ignore[return-value]


class Meter:
    """The meter on its port, open until close() (or the end of a ``with`` block).

    ``Meter()`` finds the meter as the dialog does; ``Meter("/dev/ttyUSB0")`` opens that port
    and probes it as the search does (NoMeterFound when it does not answer as the meter).
    ``log`` appends the CSV log of `dravik-cli set --log`, with its write-ahead rows; ``tags``
    (``{"meter": "SN4711"}``) go into every record and log row, checked as ``--tag`` is.

    Raises NoMeterFound, PortUnavailable (why the port would not open), InvalidArgument (a bad
    port name, path or tag: the port is closed again, no correction sent) or LogFailed.

    A Meter may be shared between threads: its calls take turns, and cancel() works from any
    thread at any time. One never closed is closed when it is collected, with a
    ResourceWarning, as files are. Ctrl-C while the search runs takes effect once it is over.
    """

    def __init__(self, port: Optional[PathText] = None, log: Optional[PathText] = None,
                 tags: Optional[Mapping[str, object]] = None) -> None:
        self._handle: Optional[int] = None
        self._port = ""
        # _turn: one caller at a time (a set_many is not cut into). _busy: one C call at a time
        # on the handle, held by the thread making it. _life: the handle's value, so that
        # cancel() never reaches a handle close() is freeing.
        self._turn = threading.RLock()
        self._busy = threading.Lock()
        self._life = threading.Lock()
        port_text = None if port is None else _c_text(os.fsdecode(port), "port")
        if port_text == b"":
            raise InvalidArgument("port '' names no port; None finds the meter")
        log_text = None if log is None else _c_text(os.fsdecode(log), "log")
        if log_text == b"":
            raise InvalidArgument("log '' names no file; None keeps no log")
        tags_text = _tags_text(tags)

        (status, handle, message), interrupt = _run_waiting(
            lambda: _native.open_meter(port_text), lambda: None)
        if handle is not None:
            self._handle = handle
        if interrupt is not None:
            self.close()
            raise interrupt
        if status != _native.CONFIRMED or handle is None:
            raise error_for(status, message, during_run=False)
        try:
            status, self._port, message = _native.port(handle)
            if status == _native.CONFIRMED and (log_text is not None or tags_text is not None):
                status, message = _native.open_log(handle, log_text, tags_text)
            if status != _native.CONFIRMED:
                raise error_for(status, message, during_run=False)
        except BaseException:
            self.close()
            raise

    @property
    def port(self) -> str:
        """The port the meter is on: the one given, or the one the search found."""
        return self._port

    @property
    def closed(self) -> bool:
        return self._handle is None

    def set(self, channel: Channel, db: Level) -> Record:
        """Sets one channel and returns its record.

        `channel` is a label (any case) or 0..3, as int or text; `db` a float, int, Decimal or
        text, checked as dravik-cli set checks it: InvalidArgument, and nothing sent, for an
        unknown channel, a level that is no single finite number (NaN, an infinity, True,
        "2.5x") or whose factor is not finite. A channel the meter did not confirm is a record
        with ``answered=False``; after it, no set sends anything more on this Meter (a late
        answer could not be told from the next channel's): each is a record with
        ``sent=False``, until the port is opened again.

        Raises PortLost, LogFailed or Cancelled when the run stops, each with the channel's
        ``.record``; every later set then sends nothing and raises the same. Ctrl-C ends the
        meter's wait at once, the line as found and the channel recorded, and propagates.
        """
        texts = (_c_text(_number_text(channel), "channel"), _c_text(_number_text(db), "db"))
        with self._turn:
            (status, record, message), interrupt = self._set_texts(*texts)
        if interrupt is not None:
            raise interrupt
        if status in (_native.CONFIRMED, _native.NOT_CONFIRMED) and record is not None:
            return record
        raise error_for(status, message, during_run=True, record=record)

    def set_many(self, levels: Mapping[Channel, Level]) -> List[Record]:
        """Sets the channels in the order given and returns their records.

        Stops as dravik-cli set does: after a lost port, a log row that failed, a cancel or a
        channel the meter did not answer in time, the channels left are sent no more and come
        back as records with ``sent=False``; no exception says so. A channel or level the
        library refuses raises InvalidArgument when its turn comes, nothing of it sent; the
        channels before it were set. Ctrl-C records the channels left as not sent, then
        propagates.
        """
        items = [(_c_text(_number_text(channel), "channel"), _c_text(_number_text(db), "db"))
                 for channel, db in levels.items()]
        records: List[Record] = []
        interrupt: Optional[KeyboardInterrupt] = None
        with self._turn:
            for channel_text, db_text in items:
                (status, record, message), caught = self._set_texts(channel_text, db_text)
                interrupt = interrupt or caught
                if record is None:
                    raise error_for(status, message, during_run=True)
                records.append(record)
        if interrupt is not None:
            raise interrupt
        return records

    def _set_texts(self, channel: bytes, db: bytes
                   ) -> Tuple[Tuple[int, Optional[Record], str], Optional[KeyboardInterrupt]]:
        def work() -> Tuple[int, Optional[Record], str]:
            with self._busy:
                if self._handle is None:
                    return _native.BAD_HANDLE, None, "the meter is closed"
                status, text, message = _native.set_channel(self._handle, channel, db)
            return status, Record.from_json(text) if text else None, message

        return _run_waiting(work, self.cancel)

    def cancel(self) -> None:
        """Ends the wait of a set in progress at its next step (never in the middle of a
        frame), from any thread; that set and every later one on this Meter send nothing more
        and raise Cancelled. Does nothing on a closed Meter."""
        with self._life:
            if self._handle is not None:
                _native.cancel(self._handle)

    def close(self) -> None:
        """Closes the port, the line left as found. Waits for a set in progress (cancel() ends
        it at once); closing a closed Meter does nothing."""
        with self._turn, self._busy:
            with self._life:
                handle, self._handle = self._handle, None
            if handle is not None:
                _native.close(handle)

    def __enter__(self) -> Meter:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<dravik.Meter port={self._port!r} {'closed' if self.closed else 'open'}>"

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self)
            self.close()


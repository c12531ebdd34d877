"""The exceptions of dravik: one per status of libdravik that ends a call.

Each carries ``.status`` (the library's status, which for 2 to 4 is also dravik-cli's exit
status) and ``.message``, the library's own line in the operator's language, the one dravik-cli
prints on stderr. A channel the meter did not confirm is no exception: its Record says
``answered=False``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Optional, Tuple

from . import _native

if TYPE_CHECKING:
    from .records import Record


class DravikError(Exception):
    """Base of every dravik error; ``.status`` and ``.message`` as the library gave them.

    ``.record`` is the channel's record where one was kept (a run that stopped records the
    channel as sent, or as not sent), else None.
    """

    def __init__(self, message: str, status: int, record: Optional[Record] = None) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.record = record


class InvalidArgument(DravikError):
    """A channel, level, port, log path or tag refused before anything was opened or sent."""

    def __init__(self, message: str) -> None:
        super().__init__(message, _native.INVALID_ARGUMENT)


class NoMeterFound(DravikError):
    """No port answered as the meter.

    ``.tried`` is ``[(port, reason), ...]``, every port probed and what became of it, as
    ``dravik-cli find`` prints them, from find(). A Meter that searched in vain has the same in
    its message, one port a line, and leaves ``.tried`` empty.
    """

    def __init__(self, message: str, tried: Optional[List[Tuple[str, str]]] = None) -> None:
        super().__init__(message, _native.NO_METER)
        self.tried = tried or []


class PortUnavailable(DravikError):
    """The port would not open; the message says why (busy and held by whom, no permission
    and what to do about it, gone)."""

    def __init__(self, message: str) -> None:
        super().__init__(message, _native.PORT_UNAVAILABLE)


class PortLost(DravikError):
    """The port went away during the run (an adapter pulled): nothing more is sent on it."""

    def __init__(self, message: str, record: Optional[Record] = None) -> None:
        super().__init__(message, _native.PORT_UNAVAILABLE, record)


class Cancelled(DravikError):
    """Meter.cancel() ended the run: nothing more is sent on this Meter."""

    def __init__(self, message: str, record: Optional[Record] = None) -> None:
        super().__init__(message, _native.CANCELLED, record)


class LogFailed(DravikError):
    """The log could not be opened or take a row; a channel whose row failed was not sent, nor
    is any after it."""

    def __init__(self, message: str, record: Optional[Record] = None) -> None:
        super().__init__(message, _native.LOG_FAILED, record)


def error_for(status: int, message: str, during_run: bool, record: Optional[Record] = None
              ) -> DravikError:
    """The exception for a status that ended a call; `during_run`: a 4 is a lost port."""
    if status == _native.INVALID_ARGUMENT:
        return InvalidArgument(message)
    if status == _native.NO_METER:
        return NoMeterFound(message)
    if status == _native.PORT_UNAVAILABLE:
        return PortLost(message, record) if during_run else PortUnavailable(message)
    if status == _native.CANCELLED:
        return Cancelled(message, record)
    if status == _native.LOG_FAILED:
        return LogFailed(message, record)
    return DravikError(message or f"libdravik returned status {status}", status, record)

"""Writes correction factors into the Z9M4-SET optical power meter, on libdravik.

The same search, frames, exchange, record and log as ``dravik-cli set``, in process::

    import dravik

    with dravik.Meter(tags={"meter": "SN4711"}) as meter:   # found as the dialog finds it
        record = meter.set("1310CW", 0.35)
        records = meter.set_many({"1490CW": 0.5, "1550CW": "2.25"})
    if not all(r.answered for r in [record, *records]):
        raise SystemExit("corrections not confirmed by the meter")

Meter(port=None, log=None, tags=None)
    The meter's port, found (None) or named; ``log`` appends dravik-cli's CSV log.
Meter.set(channel, db) -> Record, Meter.set_many({channel: db, ...}) -> [Record, ...]
    A channel is a label (1310CW, 1310Burst, 1490CW, 1550CW, any case) or 0..3; a level a
    float (sent as its shortest text: 0.35 writes the frame of ``dravik-cli set 1310CW=0.35``),
    int, Decimal or text.
ports() -> [Port, ...], find(all=False) -> [port, ...], library_version()

A Record is a frozen dataclass with the keys of ``dravik-cli set --json``: a channel the meter
did not confirm is ``answered=False``, no exception. The exceptions, all DravikError with
``.status`` and the library's ``.message``: InvalidArgument, NoMeterFound, PortUnavailable,
PortLost, LogFailed, Cancelled. Ctrl-C during a set ends the meter's wait at once, leaves the
line as found, records the channel and propagates.

The library is looked for at DRAVIK_LIBRARY (a path; when set, nowhere else), then in this
package's own folder (``libdravik.so.2``, or ``dravik.dll`` as the Windows zip has it: a 64-bit
Python needs the 64-bit zip's), then as the system's ``libdravik.so.2``; LibraryNotFound names
every place tried. ``dravik.testing`` is a pytest plugin with a simulated meter for a
station's own tests.
"""

from __future__ import annotations

from ._native import LibraryNotFound
from .errors import (Cancelled, DravikError, InvalidArgument, LogFailed, NoMeterFound, PortLost,
                     PortUnavailable)
from .meter import Channel, Level, Meter, find, library_version, ports
from .records import Port, Record

# The version of project() in the top CMakeLists.txt, which configuring checks against this.
__version__ = "1.0.0.1"

__all__ = [
    "Cancelled", "Channel", "DravikError", "InvalidArgument", "Level", "LibraryNotFound",
    "LogFailed", "Meter", "NoMeterFound", "Port", "PortLost", "PortUnavailable", "Record",
    "__version__", "find", "library_version", "ports",
]

"""What the library reports, as Python values: a serial port, and one channel's record.

The library hands both out as the JSON objects of `dravik-cli --json`; they are read here and
checked field by field, so that a library the package does not match fails loudly instead of
yielding half-filled records.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field, fields
from datetime import datetime
from typing import Any, Callable, Dict, List, Tuple, Type, TypeVar, get_type_hints

T = TypeVar("T")


def json_lines(text: str) -> List[Dict[str, Any]]:
    """The objects of one-object-a-line text."""
    objects = []
    for line in text.splitlines():
        if line.strip():
            value = json.loads(line)
            if not isinstance(value, dict):
                raise ValueError(f"libdravik gave {line!r} where an object belongs")
            objects.append(value)
    return objects


def _field(source: Dict[str, Any], key: str, kind: Type[T]) -> T:
    value = source.get(key)
    # bool is an int to Python, but never a number in a record, nor a number a flag.
    if kind is float and isinstance(value, int) and not isinstance(value, bool):
        value = float(value)
    if not isinstance(value, kind) or (kind is not bool and isinstance(value, bool)):
        raise ValueError(f"libdravik's {key!r} is {value!r}, not a {kind.__name__}")
    return value


@dataclass(frozen=True)
class Port:
    """A serial port, as `dravik-cli ports` lists it, found without opening it.

    port: the device (``/dev/ttyUSB0``, ``COM3``).
    description: what is known of it (Linux: driver, USB IDs and product; Windows: the
        registry's device name).
    state: whether it is in use or not permitted, as far as that shows without opening it.
    by_path, by_id: Linux: the /dev/serial/by-path and /dev/serial/by-id names that lead to it,
        which stay with the USB socket and with the adapter; a station's port can be given so.
    """

    port: str
    description: str
    state: str
    by_path: Tuple[str, ...] = ()
    by_id: Tuple[str, ...] = ()

    @classmethod
    def from_json(cls, source: Dict[str, Any]) -> Port:
        texts = [_field(source, key, str) for key in ("port", "description", "state")]
        names = [_field(source, key, list) for key in ("by_path", "by_id")]
        if not all(isinstance(name, str) for name in names[0] + names[1]):
            raise ValueError(f"libdravik's port names are {names!r}, not texts")
        return cls(*texts, *(tuple(n) for n in names))


@dataclass(frozen=True)
class Record:
    """One channel's outcome, the fields of `dravik-cli set --json` under the same names.

    time: when the channel's turn came (UTC, milliseconds).
    port: the meter's port.
    channel, label: 0..3 and its name (1310CW, 1310Burst, 1490CW, 1550CW).
    text: the level as given (a float as its shortest round-trip text).
    db: the level as read; factor: 10^(db/10), the single-precision float sent.
    frame: the 40 bytes sent, or that would have been.
    answered: after the frame, more than its echo came within the 5 s wait, then quiet.
    sent: the whole frame reached the driver.
    late: no answer in time, but one before the next frame; no answer all the same.
    reply: what arrived after the frame, the first 40 bytes (an echo first).
    tags: the station's tags.
    """

    time: datetime
    port: str
    channel: int
    label: str
    text: str
    db: float
    factor: float
    frame: bytes
    answered: bool
    sent: bool
    late: bool
    reply: bytes
    tags: Dict[str, str] = field(hash=False)

    @classmethod
    def from_json(cls, text: str) -> Record:
        objects = json_lines(text)
        if len(objects) != 1:
            raise ValueError(f"libdravik gave {len(objects)} records for one channel")
        source = objects[0]
        # The fields above are the library's record keys (dravik_record_keys), in its order.
        keys = [f.name for f in fields(cls)]
        if list(source) != keys:
            raise ValueError(f"libdravik's record has the keys {list(source)}, not {keys}")
        kinds = get_type_hints(cls)
        return cls(**{key: _READERS.get(kinds[key], _field)(source, key, kinds[key])
                      for key in keys})


def _time(source: Dict[str, Any], key: str, kind: Any) -> datetime:
    stamp = _field(source, key, str)
    # "…Z": fromisoformat reads the letter only from Python 3.11 on.
    time = datetime.fromisoformat(stamp[:-1] + "+00:00" if stamp.endswith("Z") else stamp)
    if time.tzinfo is None:
        raise ValueError(f"libdravik's time {stamp!r} has no time zone")
    return time


def _hex(source: Dict[str, Any], key: str, kind: Any) -> bytes:
    return bytes.fromhex(_field(source, key, str))


def _tags(source: Dict[str, Any], key: str, kind: Any) -> Dict[str, str]:
    tags = _field(source, key, dict)
    if not all(isinstance(v, str) for v in tags.values()):
        raise ValueError(f"libdravik's tags {tags!r} are not all text")
    return dict(tags)


# How a Record field of each type is read; the rest are JSON's own types.
_READERS: Dict[Any, Callable[[Dict[str, Any], str, Any], Any]] = {
    datetime: _time, bytes: _hex, Dict[str, str]: _tags}


def find_lines(text: str) -> List[Tuple[str, bool, str]]:
    """dravik_find's lines as (port, found, reason)."""
    return [(_field(o, "port", str), _field(o, "found", bool), _field(o, "reason", str))
            for o in json_lines(text)]

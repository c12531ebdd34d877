"""A simulated meter for a station's own tests: a pytest plugin.

Enable it with ``pytest -p dravik.testing``, or ``pytest_plugins = ["dravik.testing"]`` in a
``conftest.py``. Its fixture ``meter_sim`` starts the simulated meter on a pseudo-terminal
(Linux), yields a MeterSim and stops it after the test::

    import dravik
    import pytest

    def test_station_sets_four_channels(meter_sim):
        with dravik.Meter(meter_sim.port) as meter:
            records = meter.set_many({"1310CW": 0.35, "1550CW": 2.25})
        assert all(r.answered for r in records)
        assert [f.label for f in meter_sim.frames("set")] == ["1310CW", "1550CW"]

    @pytest.mark.meter_sim(no_ack=True)
    def test_station_reports_a_meter_that_does_not_confirm(meter_sim):
        ...

The marker's options: ``no_ack`` (the sim's ``--no-ack``: answers the probe that finds it, then
no correction, and the record says ``answered=False``; ``silent`` is its older name, not the
sim's ``--silent``), ``late`` (answers a correction after the 5 s wait: the record
says ``late=True``), ``unplug_after=N`` (the device vanishes once N frames have come, the probe
counted, as an adapter pulled out), ``args`` (more options of ``dravik-meter-sim --help``;
``args=["--silent"]`` answers not even the probe, so that no meter is found). After a channel
without an answer in time nothing more is sent on the port, as dravik-cli does it. For
``dravik.Meter()`` to find the meter itself, set ``DRAVIK_EXTRA_PORTS`` to ``meter_sim.port``
(``monkeypatch.setenv``); the search probes the machine's own serial ports first.

The simulated meter is the program DRAVIK_METER_SIM names, else ``dravik-meter-sim`` (from the
dravik package, which python3-dravik recommends) or ``meter-sim`` (a build tree's) on PATH.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import threading
import time
from dataclasses import dataclass
from typing import IO, Iterator, List, Optional, Sequence

import pytest

# The sim's answer to a correction for `late`: past the 5 s reply wait, inside the quiet time
# (1 s without a byte) the exchange gives the line before it reports the channel.
LATE_ACK_MS = 5500
# What the sim is given to start and to stop: generous, only a fault reaches them.
START_LIMIT_S = 10.0
STOP_LIMIT_S = 5.0


@dataclass(frozen=True)
class SimFrame:
    """A frame the simulated meter received, read from its log.

    kind: "probe", "set" or "unknown". data: the 40 bytes as they arrived. For a set frame,
    channel (0..3), label (None for a channel the meter does not have), factor (the float as
    received) and db (10·log10(factor), to the four decimals the meter logs).
    """

    kind: str
    data: bytes
    channel: Optional[int] = None
    label: Optional[str] = None
    factor: Optional[float] = None
    db: Optional[float] = None

    @classmethod
    def from_log(cls, line: str) -> SimFrame:
        """From a line such as ``FRAME set channel=2 label=1490CW factor=1.1220185
        dB=0.5000 hex=AA 04 02 …``."""
        head, _, hex_text = line.partition(" hex=")
        words = head.split()
        fields = dict(word.split("=", 1) for word in words[2:])
        frame = cls(words[1], bytes.fromhex(hex_text))
        if frame.kind != "set":
            return frame
        return cls(frame.kind, frame.data, int(fields["channel"]),
                   None if fields["label"] == "?" else fields["label"],
                   float(fields["factor"]), float(fields["dB"]))


def meter_sim_program() -> str:
    """The simulated meter's program; FileNotFoundError says where it was looked for."""
    named = os.environ.get("DRAVIK_METER_SIM", "")
    if named:
        return named
    for name in ("dravik-meter-sim", "meter-sim"):
        found = shutil.which(name)
        if found:
            return found
    raise FileNotFoundError("no simulated meter: DRAVIK_METER_SIM is not set, and neither "
                            "dravik-meter-sim nor meter-sim is on PATH; dravik-meter-sim comes "
                            "with the dravik package (apt-get install dravik)")


class MeterSim:
    """The simulated meter as a child process, its device at ``.port`` once started.

    Usable without pytest as a context manager: ``with MeterSim(no_ack=True) as sim: ...``.
    """

    def __init__(self, *, no_ack: bool = False, silent: bool = False, late: bool = False,
                 unplug_after: Optional[int] = None, args: Sequence[str] = ()) -> None:
        self._args = list(args)
        if no_ack or silent:
            self._args.append("--no-ack")
        if late:
            self._args += ["--ack-delay", str(LATE_ACK_MS)]
        if unplug_after is not None:
            self._args += ["--unplug-after", str(unplug_after)]
        self.port = ""
        self._process: Optional[subprocess.Popen[bytes]] = None
        self._reader: Optional[threading.Thread] = None
        self._lines: List[str] = []
        self._log_closed = False
        self._changed = threading.Condition()

    def start(self) -> MeterSim:
        """Starts the sim and waits until its device can be opened."""
        self._process = subprocess.Popen([meter_sim_program(), *self._args],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE)
        assert self._process.stdout is not None
        self._reader = threading.Thread(target=self._read, args=(self._process.stdout,),
                                        name="meter-sim log", daemon=True)
        self._reader.start()
        with self._changed:
            self._changed.wait_for(lambda: self._lines or self._log_closed, START_LIMIT_S)
            first = self._lines[0] if self._lines else ""
        if not first.startswith("PORT "):
            self._process.kill()
            self._process.wait()
            assert self._process.stderr is not None
            error = self._process.stderr.read().decode(errors="replace").strip()
            self.stop()
            raise RuntimeError(f"meter-sim {' '.join(self._args)} did not start: "
                               f"{error or first or 'no device announced'}")
        self.port = first[len("PORT "):]
        return self

    def stop(self) -> None:
        """Ends the sim (its device vanishes) and waits for it."""
        process = self._process
        if process is None:
            return
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(STOP_LIMIT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if self._reader is not None:
            self._reader.join()
        for pipe in (process.stdout, process.stderr):
            if pipe is not None:
                pipe.close()

    def lines(self, prefix: str = "") -> List[str]:
        """The sim's log lines (see ``dravik-meter-sim --help``), those starting with prefix."""
        with self._changed:
            return [line for line in self._lines if line.startswith(prefix)]

    def frames(self, kind: Optional[str] = None) -> List[SimFrame]:
        """The frames received so far, in order; only those of `kind` ("probe", "set")."""
        frames = [SimFrame.from_log(line) for line in self.lines("FRAME ")]
        return [f for f in frames if kind is None or f.kind == kind]

    def wait_frames(self, count: int, kind: Optional[str] = None,
                    timeout: float = START_LIMIT_S) -> List[SimFrame]:
        """Waits until `count` frames (of `kind`) have arrived and returns them all;
        TimeoutError after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(self.frames(kind)) < count:
                left = deadline - time.monotonic()
                if left <= 0 or self._log_closed:
                    raise TimeoutError(f"{len(self.frames(kind))} of {count} frames arrived")
                self._changed.wait(left)
        return self.frames(kind)

    def _read(self, log: IO[bytes]) -> None:
        for raw in log:
            with self._changed:
                self._lines.append(raw.decode(errors="replace").rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._log_closed = True
            self._changed.notify_all()

    def __enter__(self) -> MeterSim:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "meter_sim(no_ack=False, late=False, unplug_after=None, args=()): how the "
        "meter_sim fixture's simulated meter behaves")


@pytest.fixture
def meter_sim(request: pytest.FixtureRequest) -> Iterator[MeterSim]:
    """A simulated meter on a pseudo-terminal for this test: ``.port``, ``.frames()``; set up
    by the test's ``@pytest.mark.meter_sim(...)``."""
    marker = request.node.get_closest_marker("meter_sim")
    with MeterSim(**(marker.kwargs if marker else {})) as sim:
        yield sim

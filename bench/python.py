"""bench-python: four SETs through the dravik package beside the same-protocol pyserial script
(serial_set.py --probe, as bench-cli and bench-library run it: the identity probe, the four
exchanges, the tool's pauses), both in this one process against one simulated meter,
runs interleaved; then Ctrl-C during a silent meter's wait, from the signal to the
KeyboardInterrupt out of Meter.set.

Targets: the package no slower than the script (ratio of the medians at most 1.0), in spite of
the exchange's 5 ms poll and 10 ms pause and the worker thread each set runs on; Ctrl-C ends
the wait within 100 ms. DRAVIK_BENCH_QUICK=1 runs fewer rounds.

Started by build/<preset>/bin/bench-python, which points DRAVIK_LIBRARY and DRAVIK_METER_SIM
at the build. Exits 1 when a run failed; a missed target is only printed.
"""

from __future__ import annotations

import os
import runpy
import signal
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import Callable, List

import dravik
from dravik.testing import MeterSim

QUICK = os.environ.get("DRAVIK_BENCH_QUICK") == "1"
ROUNDS = 3 if QUICK else 9
INTERRUPTS = 2 if QUICK else 5
RATIO_TARGET = 1.0
INTERRUPT_TARGET_MS = 100.0
# bench-cli's levels.
LEVELS = {"1310CW": 0.35, "1310Burst": -1.5, "1490CW": 0.5, "1550CW": 2.25}
SCRIPT = Path(__file__).with_name("serial_set.py")


def timed_ms(run: Callable[[], bool]) -> float:
    """The wall time of `run` in ms; ValueError when it did not succeed."""
    start = time.perf_counter()
    if not run():
        raise ValueError("a run failed")
    return (time.perf_counter() - start) * 1000


def through_dravik(port: str) -> bool:
    with dravik.Meter(port) as meter:
        return all(r.answered for r in meter.set_many(LEVELS))


def through_script(port: str, frames: List[str]) -> bool:
    sys.argv = [str(SCRIPT), "--probe", port, *frames]  # the probe dravik sends a port too
    try:
        runpy.run_path(str(SCRIPT), run_name="__main__")
    except SystemExit as end:
        return end.code in (None, 0)
    return True


def interrupt_ms(sim: MeterSim) -> float:
    """SIGINT to this process once the sim has the frame; ms until set() has raised."""
    with dravik.Meter(sim.port) as meter:
        frames = len(sim.frames("set"))
        sent: List[float] = []

        def interrupt() -> None:
            sim.wait_frames(frames + 1, "set")
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt).start()
        try:
            meter.set("1490CW", 0.5)
        except KeyboardInterrupt:
            return (time.perf_counter() - sent[0]) * 1000
    raise ValueError("the set ended before the interrupt")


def show(what: str, runs: List[float]) -> None:
    print(f"{what:<44} min {min(runs):8.1f}  median {statistics.median(runs):8.1f}  "
          f"max {max(runs):8.1f} ms")


def main() -> int:
    with MeterSim() as sim:
        with dravik.Meter(sim.port) as meter:  # the frames the script sends: the package's own
            frames = [r.frame.hex() for r in meter.set_many(LEVELS)]
        print(f"four SETs against meter-sim on {sim.port}, in one process; {ROUNDS} runs each, "
              "interleaved")
        script: List[float] = []
        package: List[float] = []
        for _ in range(ROUNDS):
            script.append(timed_ms(lambda: through_script(sim.port, frames)))
            package.append(timed_ms(lambda: through_dravik(sim.port)))
        sets = len(sim.frames("set"))
    show("python3 + pyserial script (serial_set.py)", script)
    show("dravik.Meter(port).set_many, four channels", package)
    ratio = statistics.median(package) / statistics.median(script)
    print(f"ratio dravik / script (medians): {ratio:.3f}")
    verdict = "met" if ratio <= RATIO_TARGET else "MISSED"
    print(f"target: dravik no slower than the script: {verdict}")
    expected = len(LEVELS) * (2 * ROUNDS + 1)
    print(f"set frames the meter received: {sets} of {expected}")

    with MeterSim(no_ack=True) as silent:
        interrupts = [interrupt_ms(silent) for _ in range(INTERRUPTS)]
    show("Ctrl-C during a silent meter's wait", interrupts)
    print(f"target: the wait ends within {INTERRUPT_TARGET_MS:.0f} ms: "
          f"{'met' if max(interrupts) <= INTERRUPT_TARGET_MS else 'MISSED'}")
    # A missed target is only printed; frames that did not reach the meter are an error.
    return 0 if sets == expected else 1


if __name__ == "__main__":
    sys.exit(main())

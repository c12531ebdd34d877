# The station engineer's view: the README's example script and the meter_sim fixture.
import subprocess
import sys
from pathlib import Path

import pytest

import dravik

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "set_four.py"


def test_the_example_sets_the_four_channels(meter_sim, tmp_path):
    run = subprocess.run([sys.executable, str(EXAMPLE), "--port", meter_sim.port,
                          "--log", str(tmp_path / "station.csv")],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert [line.split()[-1] for line in run.stdout.splitlines()] == ["confirmed"] * 4
    assert [(f.label, f.db) for f in meter_sim.frames("set")] == [
        ("1310CW", 0.35), ("1310Burst", 0.41), ("1490CW", 0.28), ("1550CW", 2.25)]


@pytest.mark.meter_sim(late=True)
def test_an_answer_after_the_wait_is_late_and_no_answer(meter_sim):
    with dravik.Meter(meter_sim.port) as meter:
        record = meter.set("1550CW", 2.25)
    assert (record.sent, record.answered, record.late) == (True, False, True)

# dravik.Meter on the simulated meter: its records against dravik-cli's for the same levels,
# what stops a run, and the inputs refused before anything is sent.
import dataclasses
import gc
import json
import threading
from datetime import datetime, timedelta, timezone
from decimal import Decimal

import pytest

import dravik

# The same four levels as dravik-cli arguments and as the Python types a station passes.
CLI_LEVELS = ["1310CW=0.35", "1310burst=-1.5", "2=0.5", "3=2.25"]
LEVELS = [("1310CW", 0.35), ("1310burst", "-1.5"), (2, Decimal("0.5")), ("3", 2.25)]
TAGS = {"meter": "SN4711", "op": "li"}


def as_cli_json(record):
    fields = dataclasses.asdict(record)
    fields.update(frame=record.frame.hex(), reply=record.reply.hex())
    del fields["time"]
    return fields


@pytest.mark.parametrize("found", [False, True], ids=["port", "discovery"])
def test_four_channels_match_dravik_cli_byte_for_byte(meter_sim, cli, monkeypatch, found):
    run = cli("set", "--port", meter_sim.port, "--json", "--tag", "meter=SN4711", "--tag",
              "op=li", *CLI_LEVELS)
    assert run.returncode == 0, run.stderr
    expected = [json.loads(line) for line in run.stdout.splitlines()]
    for line in expected:
        del line["time"]
    if found:
        monkeypatch.setenv("DRAVIK_EXTRA_PORTS", meter_sim.port)
        if [p.port for p in dravik.ports()] != [meter_sim.port]:
            pytest.skip("this machine lists serial ports of its own, which the search would probe")
    probes = len(meter_sim.frames("probe"))
    started = datetime.now(timezone.utc)

    with dravik.Meter(None if found else meter_sim.port, tags=TAGS) as meter:
        records = [meter.set(*LEVELS[0])] + meter.set_many(dict(LEVELS[1:]))

    assert meter.port == meter_sim.port
    assert [as_cli_json(r) for r in records] == expected
    assert all(started - timedelta(seconds=1) <= r.time <= datetime.now(timezone.utc)
               for r in records)
    frames = meter_sim.frames("set")
    assert [f.data for f in frames[4:]] == [f.data for f in frames[:4]]
    assert len(meter_sim.frames("probe")) == probes + 1


@pytest.mark.meter_sim(unplug_after=3)  # the probe, 1310CW, then 1310Burst
def test_a_lost_port_stops_the_run(meter_sim):
    with dravik.Meter(meter_sim.port) as meter:
        records = meter.set_many(dict(LEVELS))
        assert [(r.sent, r.answered) for r in records] == [
            (True, True), (True, False), (False, False), (False, False)]
        with pytest.raises(dravik.PortLost) as lost:
            meter.set("1550CW", 1)
    assert lost.value.status == 4 and meter_sim.port in lost.value.message
    assert not lost.value.record.sent
    assert len(meter_sim.frames("set")) == 2


@pytest.mark.meter_sim(silent=True)
def test_cancel_from_another_thread_ends_the_wait(meter_sim):
    with dravik.Meter(meter_sim.port) as meter:
        threading.Thread(target=lambda: (meter_sim.wait_frames(1, "set"), meter.cancel())).start()
        with pytest.raises(dravik.Cancelled) as cancelled:
            meter.set("1490CW", 0.5)
        assert (cancelled.value.record.sent, cancelled.value.record.answered) == (True, False)
        with pytest.raises(dravik.Cancelled) as later:
            meter.set("1550CW", 1)
        assert not later.value.record.sent


def test_a_meter_never_closed_closes_when_collected(meter_sim):
    meter = dravik.Meter(meter_sim.port)
    with pytest.warns(ResourceWarning, match="unclosed <dravik.Meter port='.*' open>"):
        del meter
        gc.collect()
    # The port is free again: an open one would be refused, held exclusively.
    with dravik.Meter(meter_sim.port) as again:
        assert again.set(0, 1).answered


@pytest.mark.parametrize("options, channel, db", [
    ({}, "1310CW", float("nan")),
    ({}, "1310CW", float("inf")),
    ({}, "1310CW", -float("inf")),
    ({}, "1310CW", True),
    ({}, "1310CW", Decimal("NaN")),
    ({}, "1310CW", "2.5x"),
    ({}, "1310CW", "1e999"),
    ({}, "1310CW", -460),
    pytest.param({}, "1310CW", 10**5000, id="int-beyond-str"),
    ({}, "1310CW", ""),
    ({}, "1310CW", None),
    ({}, "1310CW", "0.35\x00"),
    ({}, "1310CW", "\udc80"),
    ({}, "1310CX", 0.35),
    ({}, 4, 0.35),
    ({}, True, 0.35),
    ({}, "1310CW\x00", 0.35),
    ({"tags": {"bad key": "x"}}, 0, 1),
    ({"tags": {"op": "a;b"}}, 0, 1),
    ({"tags": {"op": "\x1b[2J"}}, 0, 1),
    ({"tags": {"op": b"x"}}, 0, 1),
    ({"log": ""}, 0, 1),
])
def test_bad_input_is_refused_before_anything_is_sent(meter_sim, options, channel, db):
    with pytest.raises(dravik.InvalidArgument) as refused:
        with dravik.Meter(meter_sim.port, **options) as meter:
            meter.set(channel, db)
    assert refused.value.status == 2 and refused.value.message
    # The port was closed again, and the one frame the meter ever got is this valid one.
    with dravik.Meter(meter_sim.port) as meter:
        assert meter.set(0, 1).answered
    assert len(meter_sim.frames("set")) == 1

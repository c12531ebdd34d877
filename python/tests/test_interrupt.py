# Ctrl-C in a station script while a silent meter's answer is awaited.
import csv
import fcntl
import os
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest

# ioctl TIOCGEXCL (Linux 3.8): whether the tty is in exclusive mode; Python has no name for it.
TIOCGEXCL = 0x80045440
# The meter's own wait is 5 s: a script ended well before it was ended by the interrupt.
ENDED_LIMIT_S = 3.0

SCRIPT = r"""
import signal, sys, time, dravik
interrupted = []
def on_sigint(number, frame):
    interrupted.append(time.monotonic())
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, on_sigint)
with dravik.Meter(sys.argv[1], log=sys.argv[2]) as meter:
    try:
        meter.set("1490CW", 0.5)
    except KeyboardInterrupt:
        print((time.monotonic() - interrupted[0]) * 1000)
"""


def line_of(fd):
    exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, struct.pack("i", -1)))[0]
    return termios.tcgetattr(fd), exclusive


@pytest.mark.meter_sim(no_ack=True)
def test_ctrl_c_ends_the_wait_and_leaves_the_line_as_found(meter_sim, tmp_path):
    log = tmp_path / "station.csv"
    tty = os.open(meter_sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        before = line_of(tty)
        script = subprocess.Popen([sys.executable, "-c", SCRIPT, meter_sim.port, str(log)],
                                  stdout=subprocess.PIPE, text=True)
        meter_sim.wait_frames(1, "set")
        sent = time.monotonic()
        script.send_signal(signal.SIGINT)
        out, _ = script.communicate(timeout=30)
        ended = time.monotonic() - sent
        assert script.returncode == 0
        assert ended < ENDED_LIMIT_S and float(out) < ENDED_LIMIT_S * 1000
        assert line_of(tty) == before
    finally:
        os.close(tty)
    with open(log, newline="") as rows:
        assert [(r["label"], r["event"], r["sent"]) for r in csv.DictReader(rows)] == [
            ("1490CW", "sending", "pending"), ("1490CW", "done", "true")]

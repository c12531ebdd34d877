#!/usr/bin/python3
"""A station's job through the dravik package: set the meter's four correction factors with a
log and the station's tags, and print each channel's outcome. Exits 0 when the meter confirmed
all four, 1 when it did not, else the status of what stopped it (3: no meter found).

    python3 set_four.py [--port PORT] [--log FILE]
"""

import argparse
import sys

import dravik

LEVELS = {"1310CW": 0.35, "1310Burst": 0.41, "1490CW": 0.28, "1550CW": 2.25}


def main() -> int:
    parser = argparse.ArgumentParser(description="Sets the meter's four correction factors.")
    parser.add_argument("--port", help="the meter's port (default: found as the dialog finds it)")
    parser.add_argument("--log", default="station.csv", help="the CSV log to append to")
    args = parser.parse_args()
    try:
        with dravik.Meter(args.port, log=args.log, tags={"station": "A3", "op": "li"}) as meter:
            records = meter.set_many(LEVELS)
    except dravik.DravikError as error:
        print(error, file=sys.stderr)
        return error.status
    for r in records:
        outcome = ("confirmed" if r.answered else "late answer" if r.late
                   else "no answer" if r.sent else "not sent")
        print(f"{r.port} {r.label:9} {r.db:+.2f} dB -> {r.factor:.5g} {outcome}")
    return 0 if all(r.answered for r in records) else 1


if __name__ == "__main__":
    sys.exit(main())

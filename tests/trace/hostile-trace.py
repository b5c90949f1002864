#!/usr/bin/env python3
"""Writes a long trace for timing kestrovan-trace on hostile input.

    hostile-trace.py CLOCK LINES [silent] > FILE
    /usr/bin/time -f '%e s, %M KB' kestrovan-trace FILE > /dev/null

The trace is the fixed trace of golden/line.trace (polls, an exposure and every deviation)
repeated until it has LINES chunk lines; with "silent", a host that writes a new setting on
every line to a generator that echoes none. CLOCK says what the trace's clock does:

  normal     runs on, each repetition 9 s after the one before
  standing   stands still: every line +0.000000
  backwards  steps back by a microsecond on every line
"""
import os
import sys

REPEAT_US = 9_000_000


def well_formed(rest):
    parts = rest.split(" | ")
    head = parts[0].split()
    return len(parts) >= 3 and len(head) == 2 and int(head[1]) == len(parts[1].split())


def chunk_lines():
    golden = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden", "line.trace")
    lines = []
    with open(golden, encoding="latin-1") as trace:
        for line in trace:
            fields = line.split(" ", 3)
            # Only the well-formed chunk lines: "date time +elapsed rest" with as many bytes as
            # the count says.
            if len(fields) == 4 and fields[2].startswith("+") and well_formed(fields[3]):
                seconds = float(fields[2][1:])
                lines.append((round(seconds * 1e6), fields[3].rstrip("\n")))
    return lines


def silent_line(index):
    """A setting that no earlier line holds, 10 ms after the one before."""
    text = b"kv%d" % index
    check = 0
    for byte in text:
        check ^= byte
    sent = text + bytes([check | 0x80])
    return index * 10_000, "TX %2d | %s | %s" % (len(sent), sent.hex(" "), text.decode())


def main():
    if len(sys.argv) not in (3, 4) or sys.argv[1] not in ("normal", "standing", "backwards") \
            or sys.argv[3:] not in ([], ["silent"]):
        sys.exit(__doc__)
    mode, wanted = sys.argv[1], int(sys.argv[2])
    silent = bool(sys.argv[3:])
    cycle = chunk_lines()
    out = sys.stdout
    for index in range(wanted):
        if silent:
            us, rest = silent_line(index)
        else:
            elapsed, rest = cycle[index % len(cycle)]
            us = index // len(cycle) * REPEAT_US + elapsed
        if mode == "standing":
            us = 0
        elif mode == "backwards":
            us = wanted - index
        out.write("2025-01-31 12:00:00.000000 +%d.%06d %s\n" % (us // 1_000_000, us % 1_000_000, rest))


if __name__ == "__main__":
    main()

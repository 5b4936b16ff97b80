#!/usr/bin/python3
"""Runs a command once and prints its wall time, CPU time, peak memory and
the bytes it had the storage fetch.

Usage: [TIMED_RUN_OUTPUT=FILE] timed_run.py NAME COMMAND...

Prints "NAME WALL_NS CPU_NS PEAK_KIB READ_BYTES": the CPU time is user plus system
time (from wait4), the peak the maximum resident set size as /usr/bin/time
reports it (%M; the command runs under it, since a process started straight
from Python would count Python's own memory as its peak). Standard output of
the command goes to /dev/null, or to the file TIMED_RUN_OUTPUT names.
READ_BYTES is what the kernel counts as read from storage for the command
(read_bytes of /proc/self/io, which takes in the children waited for), read-
ahead included: unlike the disk's counters it leaves out other processes.
"""
import os
import sys

from common import measure


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    name, command = sys.argv[1], sys.argv[2:]
    m = measure(command, os.environ.get("TIMED_RUN_OUTPUT", os.devnull))
    if m.status != 0:
        print(f"timed_run.py: {name}: {command[0]} failed", file=sys.stderr)
        return 1
    print(f"{name} {int(m.wall * 1e9)} {int(m.cpu * 1e9)} {m.peak_kib} {m.fetched}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

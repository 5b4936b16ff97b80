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
import tempfile
import time


def read_bytes():
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("read_bytes:"):
                return int(line.split()[1])
    return 0


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    name, command = sys.argv[1], sys.argv[2:]
    output = os.environ.get("TIMED_RUN_OUTPUT", os.devnull)
    devnull = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    with tempfile.NamedTemporaryFile("r") as mem:
        argv = ["/usr/bin/time", "-f", "%M", "-o", mem.name, *command]
        before = read_bytes()
        start = time.perf_counter_ns()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter_ns() - start
        fetched = read_bytes() - before
        peak = mem.read().split()[-1]
    if os.waitstatus_to_exitcode(status) != 0:
        print(f"timed_run.py: {name}: {command[0]} failed", file=sys.stderr)
        return 1
    cpu = int((usage.ru_utime + usage.ru_stime) * 1e9)
    print(f"{name} {wall} {cpu} {peak} {fetched}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""mp4meta on the 2,000-song library as archives, against the same files on disk.

    bench/archive_bench.py [--rounds N] [--jobs N] [--dir BENCH_DIR] [--build BUILD_DIR]

Builds mp4meta in Release (BUILD_DIR, default build-bench), makes the library
with bench/make_corpus.py if BENCH_DIR (default /tmp/mp4bench) lacks it, and
packs it once into BENCH_DIR/archives: library.zip (stored entries),
library.tar and library.tar.gz (level 6), the songs in byte order of their
names. Checks that each archive's entries report what the files report, then
times paired rounds (warm cache) of `mp4meta --json --jobs N PATH` to
/dev/null for the folder and each archive, and prints medians of: wall time,
CPU time (user + system), peak resident memory (/usr/bin/time's %M), bytes
read through read/pread (rchar of /proc/self/io, which takes in the children
waited for; mapped media data that is never touched is not counted) and
bytes fetched from storage (read_bytes).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tarfile
import zipfile

import common
from common import ROOT, bench_library, build, run


def measure(command):
    m = common.measure(command)
    # mp4meta exits with 1 when an entry fails; that would show in the check.
    if m.status not in (0, 1):
        sys.exit(f"archive_bench.py: {' '.join(command)} failed")
    return m


def pack(library, archives):
    os.makedirs(archives, exist_ok=True)
    names = sorted(os.listdir(library))
    made = {}
    path = os.path.join(archives, "library.zip")
    if not os.path.exists(path):
        with zipfile.ZipFile(path + ".part", "w", zipfile.ZIP_STORED) as z:
            for name in names:
                z.write(os.path.join(library, name), name)
        os.rename(path + ".part", path)
    made["zip (stored)"] = path
    for label, suffix, mode in (("tar", "tar", "w"), ("tar.gz", "tar.gz", "w:gz")):
        path = os.path.join(archives, "library." + suffix)
        if not os.path.exists(path):
            with tarfile.open(path + ".part", mode, format=tarfile.PAX_FORMAT,
                              **({"compresslevel": 6} if mode == "w:gz" else {})) as t:
                for name in names:
                    t.add(os.path.join(library, name), name, recursive=False)
            os.rename(path + ".part", path)
        made[label] = path
    return made


def reports(mp4meta, path, jobs):
    out = run([mp4meta, "--json", f"--jobs={jobs}", path], stdout=subprocess.PIPE).stdout
    lines = [json.loads(line) for line in out.decode().splitlines()]
    return [(line["path"][len(path) + 1:], line.get("fields"), line.get("error")) for line in lines]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--dir", default=os.environ.get("BENCH_DIR", "/tmp/mp4bench"))
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    args = parser.parse_args()

    mp4meta = build(args.build, ["mp4meta"], deps=[])["mp4meta"]
    library = bench_library(args.dir)
    inputs = {"files on disk": library, **pack(library, os.path.join(args.dir, "archives"))}

    expected = reports(mp4meta, library, args.jobs)
    for label, path in inputs.items():
        if reports(mp4meta, path, args.jobs) != expected:
            sys.exit(f"archive_bench.py: {label}: the entries' reports differ from the files'")
    print(f"{len(expected)} files; every archive's entries report what the files report")

    results = {label: [] for label in inputs}
    for _ in range(args.rounds):
        for label, path in inputs.items():
            results[label].append(measure([mp4meta, "--json", f"--jobs={args.jobs}", path]))
    base = statistics.median(r[0] for r in results["files on disk"])
    print(f"\nmedians of {args.rounds} rounds, --jobs={args.jobs}, warm cache\n")
    print("| input | size | time | vs files | CPU | peak memory | bytes read | from storage |")
    print("|---|---|---|---|---|---|---|---|")
    for label, path in inputs.items():
        size = (sum(os.path.getsize(os.path.join(path, n)) for n in os.listdir(path))
                if os.path.isdir(path) else os.path.getsize(path))
        wall, cpu, peak, rchar, fetched = (statistics.median(r[i] for r in results[label])
                                           for i in range(5))
        print(f"| {label} | {size / 1e6:.0f} MB | {wall * 1e3:.1f} ms | {wall / base:.2f}x "
              f"| {cpu * 1e3:.1f} ms | {peak / 1024:.1f} MiB | {rchar / 1e6:.1f} MB "
              f"| {fetched / 1e6:.1f} MB |")
    return 0


if __name__ == "__main__":
    sys.exit(main())

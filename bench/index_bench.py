#!/usr/bin/env python3
"""mp4index against mp4meta on the bench library, and searches on 100,000 files.

    bench/index_bench.py [--rounds N] [--dir BENCH_DIR] [--work WORK_DIR] [--build BUILD_DIR]

Builds mp4meta and mp4index in Release (BUILD_DIR, default build-bench), makes
the 2,000-song library with bench/make_corpus.py if BENCH_DIR (default
/tmp/mp4bench) lacks it, then, warm cache, in paired rounds (medians):
  - mp4meta --json over the library, to /dev/null;
  - mp4index update from an empty index;
  - mp4index update again, nothing changed;
then links the library under 50 roots (hard links: 100,000 files), indexes
them, and times each form of search (wall time of the whole command, median
of --rounds * 4 runs), with the number of lines it printed. The indexes are
made in WORK_DIR (default BENCH_DIR/index).
"""
import argparse
import os
import statistics
import subprocess
import sys

from common import ROOT, bench_library, build, linked_roots, remove_index, run, search_table, timed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--dir", default=os.environ.get("BENCH_DIR", "/tmp/mp4bench"))
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--work", default=None)
    parser.add_argument("--searches-only", action="store_true",
                        help="skip the update rounds (the 100,000-file index is made anew)")
    args = parser.parse_args()

    tools = build(args.build, ["mp4meta", "mp4index"], deps=["--all"])
    mp4meta, mp4index = tools["mp4meta"], tools["mp4index"]
    library = bench_library(args.dir)
    work = args.work or os.path.join(args.dir, "index")
    os.makedirs(work, exist_ok=True)
    db = os.path.join(work, "library.db")

    # Same results first: what the index shows is what mp4meta prints.
    remove_index(db)
    run([mp4index, "update", db, library], stdout=subprocess.DEVNULL)
    shown = run([mp4index, "show", "--json", db, library], stdout=subprocess.PIPE).stdout
    printed = run([mp4meta, "--json", library], stdout=subprocess.PIPE).stdout
    if shown != printed:
        sys.exit("mp4index show --json differs from mp4meta --json")

    print(f"load average at the start: {os.getloadavg()[0]:.1f}")
    meta, fresh, again = [], [], []
    for _ in range(0 if args.searches_only else args.rounds):
        meta.append(timed([mp4meta, "--json", library]))
        remove_index(db)
        fresh.append(timed([mp4index, "update", db, library]))
        again.append(timed([mp4index, "update", db, library]))
    if not args.searches_only:
        m, f, a = (statistics.median(x) for x in (meta, fresh, again))
        print(f"library (2,000 songs), warm, median of {args.rounds} rounds")
        print("| run | time | vs mp4meta --json |")
        print("|---|---|---|")
        print(f"| mp4meta --json | {m * 1000:.1f} ms | 1 |")
        print(f"| mp4index update, empty index | {f * 1000:.1f} ms | {f / m:.2f}x |")
        print(f"| mp4index update, nothing changed | {a * 1000:.1f} ms | {a / m:.2f}x |")
        print(f"index size: {os.path.getsize(db) / 1e6:.1f} MB")

    root_list = linked_roots(library, os.path.join(work, "roots"), 50)
    big = os.path.join(work, "big.db")
    remove_index(big)
    build_time = timed([mp4index, "update", big] + root_list)
    print(f"\n100,000 files (the library under 50 roots of hard links): update "
          f"{build_time:.1f} s, index {os.path.getsize(big) / 1e6:.0f} MB")
    slowest = search_table(mp4index, [("", big)], args.rounds)
    print(f"slowest: {slowest[1]}, {slowest[0] * 1000:.1f} ms; "
          f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""mp4index on PostgreSQL beside SQLite: updates, searches, writers at once.

    bench/pg_bench.py [--rounds N] [--dir BENCH_DIR] [--build BUILD_DIR] [--million]

Builds mp4index in Release (BUILD_DIR, default build-bench), starts a
PostgreSQL server of its own in BENCH_DIR/pg (tests/index/pg_server.sh: a
Unix socket, fsync off, as the tests run it), then, warm cache, medians:
  - mp4index update of the 2,000-song library into an empty index, SQLite
    and PostgreSQL, in turn;
  - the library under 50 roots of hard links (100,000 files) indexed by
    both, and each search form timed on both (the whole command);
  - writers at once: one source updating 10 roots (20,000 files), then four
    sources updating them at the same time, files stored a second;
  - --million: the 100,000 files copied ten times inside PostgreSQL under
    other paths (the same rows, id and path changed: 1,000,000 files; no
    analysis), and the searches again.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

from common import (ROOT, bench_library, build, linked_roots, remove_index, run, search_table,
                    timed)

SERVER = os.path.join(ROOT, "tests/index/pg_server.sh")


def psql(conn, sql):
    return run(["/usr/lib/postgresql/15/bin/psql", "-qAtX", conn, "-c", sql],
               stdout=subprocess.PIPE).stdout.decode().strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", default=os.environ.get("BENCH_DIR", "/tmp/mp4bench"))
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--million", action="store_true")
    args = parser.parse_args()

    mp4index = build(args.build, ["mp4index"])["mp4index"]
    library = bench_library(args.dir)
    work = os.path.join(args.dir, "pgindex")
    os.makedirs(work, exist_ok=True)
    server = os.path.join(args.dir, "pg")
    run(["sh", SERVER, "start", server])
    base = f"host={server} user=mp4index"

    def fresh(name):
        psql(base + " dbname=postgres", f"DROP DATABASE IF EXISTS {name}")
        psql(base + " dbname=postgres", f"CREATE DATABASE {name}")
        return f"{base} dbname={name}"

    try:
        print(f"load average at the start: {os.getloadavg()[0]:.1f}, {os.cpu_count()} CPUs")
        db = os.path.join(work, "library.db")
        lite, pg = [], []
        for _ in range(args.rounds):
            remove_index(db)
            lite.append(timed([mp4index, "update", db, library]))
            pg.append(timed([mp4index, "update", fresh("library"), library]))
        print(f"update of the library (2,000 files), empty index, median of {args.rounds}: "
              f"SQLite {statistics.median(lite) * 1000:.0f} ms, "
              f"PostgreSQL {statistics.median(pg) * 1000:.0f} ms")

        root_list = linked_roots(library, os.path.join(args.dir, "index", "roots"), 50)
        big = os.path.join(work, "big.db")
        remove_index(big)
        lite_time = timed([mp4index, "update", big] + root_list)
        big_pg = fresh("big")
        pg_time = timed([mp4index, "update", big_pg] + root_list)
        size = psql(big_pg, "SELECT pg_size_pretty(pg_database_size(current_database()))")
        print(f"\n100,000 files: update SQLite {lite_time:.1f} s "
              f"({os.path.getsize(big) / 1e6:.0f} MB), PostgreSQL {pg_time:.1f} s ({size})")
        search_table(mp4index, [("SQLite", big), ("PostgreSQL", big_pg)], args.rounds)

        # Writers at once: distinct sources, the same 20,000 files each.
        ten = root_list[:10]
        one = fresh("writers1")
        single = timed([mp4index, "update", "--source", "w0", one] + ten)
        four = fresh("writers4")
        start = time.perf_counter()
        procs = [subprocess.Popen([mp4index, "update", "--source", f"w{i}", four] + ten,
                                  stdout=subprocess.DEVNULL) for i in range(4)]
        if any(p.wait() for p in procs):
            sys.exit("a writer failed")
        together = time.perf_counter() - start
        stored = int(psql(four, "SELECT count(*) FROM files"))
        print(f"\nwriters: one source, 20,000 files: {single:.1f} s ({20000 / single:.0f} "
              f"files/s); four sources at once, {stored} files: {together:.1f} s "
              f"({stored / together:.0f} files/s, {stored / together / (20000 / single):.2f}x)")

        if args.million:
            psql(big_pg, "SET maintenance_work_mem = '256MB'; "
                 "CREATE TEMP TABLE one AS SELECT max(id) + 1 AS stride FROM files; "
                 "INSERT INTO files(id, source, path, ext, size, mtime_ns, error, report) "
                 "OVERRIDING SYSTEM VALUE SELECT f.id + g * one.stride, f.source, "
                 "convert_to('/copy' || g, 'UTF8') || f.path, f.ext, f.size, f.mtime_ns, "
                 "f.error, f.report FROM files f, one, generate_series(1, 9) g; "
                 "INSERT INTO has SELECT file + g * stride, key FROM has, one, "
                 "generate_series(1, 9) g; "
                 "INSERT INTO nums SELECT file + g * stride, key, value FROM nums, one, "
                 "generate_series(1, 9) g; "
                 "INSERT INTO texts SELECT file + g * stride, key, value FROM texts, one, "
                 "generate_series(1, 9) g; "
                 "INSERT INTO words SELECT file + g * stride, key, item, pos, word FROM words, "
                 "one, generate_series(1, 9) g; "
                 "SELECT setval(pg_get_serial_sequence('files', 'id'), (SELECT max(id) FROM files)); "
                 "ANALYZE")
            count = psql(big_pg, "SELECT count(*) FROM files")
            size = psql(big_pg, "SELECT pg_size_pretty(pg_database_size(current_database()))")
            print(f"\n{count} files on PostgreSQL ({size}; ten copies of the 100,000):")
            search_table(mp4index, [("PostgreSQL", big_pg)], args.rounds)
        print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    finally:
        run(["sh", SERVER, "stop", server])


if __name__ == "__main__":
    main()

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
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def timed(cmd, stdout=subprocess.DEVNULL):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=stdout)
    return time.perf_counter() - start


def remove_index(path):
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--dir", default=os.environ.get("BENCH_DIR", "/tmp/mp4bench"))
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--work", default=None)
    parser.add_argument("--searches-only", action="store_true",
                        help="skip the update rounds (the 100,000-file index is made anew)")
    args = parser.parse_args()

    run([os.path.join(ROOT, "scripts/install-deps.sh"), "--all"])
    run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=Release",
         "-DMP4META_BUILD_TESTS=OFF"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", args.build, "-j2", "--target", "mp4meta", "mp4index",
         "strigita_mp4"], stdout=subprocess.DEVNULL)
    mp4meta = os.path.join(args.build, "tools/mp4meta/mp4meta")
    mp4index = os.path.join(args.build, "tools/mp4index/mp4index")

    library = os.path.join(args.dir, "library")
    if not os.path.isdir(library) or len(os.listdir(library)) < 2000:
        run([sys.executable, os.path.join(ROOT, "bench/make_corpus.py"), args.dir, "--skip-large"])
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
    m, f, a = (statistics.median(x) if x else 0 for x in (meta, fresh, again))
    print(f"library (2,000 songs), warm, median of {args.rounds} rounds")
    print("| run | time | vs mp4meta --json |")
    print("|---|---|---|")
    print(f"| mp4meta --json | {m * 1000:.1f} ms | 1 |")
    print(f"| mp4index update, empty index | {f * 1000:.1f} ms | {f / max(m, 1e-9):.2f}x |")
    print(f"| mp4index update, nothing changed | {a * 1000:.1f} ms | {a / max(m, 1e-9):.2f}x |")
    print(f"index size: {os.path.getsize(db) / 1e6:.1f} MB")

    roots = os.path.join(work, "roots")
    if not os.path.isdir(os.path.join(roots, "r49")):
        shutil.rmtree(roots, ignore_errors=True)
        os.makedirs(roots)
        for i in range(50):
            run(["cp", "-al", library, os.path.join(roots, f"r{i:02d}")])
    big = os.path.join(work, "big.db")
    remove_index(big)
    root_list = [os.path.join(roots, f"r{i:02d}") for i in range(50)]
    build_time = timed([mp4index, "update", big] + root_list)
    print(f"\n100,000 files (the library under 50 roots of hard links): update "
          f"{build_time:.1f} s, index {os.path.getsize(big) / 1e6:.0f} MB")
    queries = [
        ("field words", ["audio.title:1234"]),
        ("short name", ["title:1234"]),
        ("full text", ["1234"]),
        ("prefix", ["title:123*"]),
        ("phrase", ['title:"track 1234"']),
        ("2 terms, one of every file", ["album:album", "title:1234"]),
        ("OR", ["title:1234", "OR", "title:1235"]),
        ("NOT a term", ["title:1234", "NOT", "genre=Jazz"]),
        ("parentheses", ["(", "title:1234", "OR", "title:1240", ")", "-genre=Rock"]),
        ("exact text", ["album=Album 7"]),
        ("exact text, no file", ["title=\u2013"]),
        ("exact text, every file read before", ["--count", "genre=Jazz"]),
        ("number", ["samplerate>=48000"]),
        ("duration and prefix", ["duration>=1m", "title:123*"]),
        ("year and track", ["year=1990", "track=3"]),
        ("size", ["--count", "size>1M"]),
        ("modified and field", ["modified>=2020-01-01", "title:1234"]),
        ("missing and field", ["missing:content.thumbnail", "audio.title:1234"]),
        ("-KEY, counted", ["--count", "-cover"]),
        ("-KEY, first 20", ["--limit", "20", "-cover"]),
        ("has and field", ["has:cover", "title:124*"]),
        ("extension, name", ["ext=m4a", "name:song01234"]),
        ("path", ["path:r07", "title:1234"]),
        ("count of every file", ["--count", "type:audio"]),
        ("sorted, first 20", ["--sort", "-duration,title", "--limit", "20", "title:123*"]),
        ("fields as CSV", ["--fields", "path,title,artist,album,track,duration", "--format",
                           "csv", "title:123*"]),
        ("fields as JSON", ["--format", "json", "--fields", "path,title,cover", "title:1234"]),
        ("--json", ["--json", "title:1234"]),
    ]
    print("| search | terms | lines | time (median) |")
    print("|---|---|---|---|")
    slowest = (0, "")
    for name, terms in queries:
        cmd = [mp4index, "search", big] + terms
        found = run(cmd, stdout=subprocess.PIPE).stdout.count(b"\n")
        times = [timed(cmd) for _ in range(args.rounds * 4)]
        median = statistics.median(times)
        slowest = max(slowest, (median, name))
        print(f"| {name} | `{' '.join(terms)}` | {found} | {median * 1000:.1f} ms |")
    print(f"slowest: {slowest[1]}, {slowest[0] * 1000:.1f} ms; "
          f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()

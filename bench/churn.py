#!/usr/bin/env python3
"""mp4meta over a folder whose files another process cuts short and restores.

    bench/churn.py [--seconds N] [--dir BENCH_DIR] [--mp4meta PATH]

Copies the large movies of BENCH_DIR (default /tmp/mp4bench; made by
bench/make_corpus.py) and 200 songs of its library into a scratch folder, then
for N seconds (default 60) runs `mp4meta --json --jobs 2` over the folder again
and again while a second process keeps truncating random files at random points
(inside the movie box, inside the media data, right after a header) and writing
the cut bytes back. Each run must end by itself with exit status 0 or 1 (1:
some files were reported as failed), print one JSON line per file, and never
die of a signal: a file that changes under the reader is an error entry or a
short read, never a crash. Prints the number of runs, of error entries and of
reports without a mime type (files that were short while being read).
"""
import argparse
import json
import multiprocessing
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAX_TAIL = 8 << 20  # the bytes cut off are kept in memory to write them back


def cut_points(path):
    """Offsets to cut at: after each top-level header, inside each box."""
    size = os.path.getsize(path)
    points = []
    with open(path, "rb") as f:
        at = 0
        while at + 8 <= size:
            f.seek(at)
            head = f.read(16)
            length = int.from_bytes(head[:4], "big")
            header = 8
            if length == 1:
                length, header = int.from_bytes(head[8:16], "big"), 16
            elif length == 0:
                length = size - at
            if length < header:
                break
            for p in (at + 4, at + header, at + header + 1, at + length // 2, at + length - 1):
                if size - p <= MAX_TAIL and 0 < p < size:
                    points.append(p)
            at += length
    return points or [size - 1]


def churn(paths, stop):
    rng = random.Random(1)
    points = {p: cut_points(p) for p in paths}
    while not stop.is_set():
        path = rng.choice(paths)
        cut = rng.choice(points[path])
        with open(path, "r+b") as f:
            f.seek(cut)
            tail = f.read()
            f.truncate(cut)
            time.sleep(rng.random() * 0.002)
            f.seek(cut)
            f.write(tail)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--dir", default=os.environ.get("BENCH_DIR", "/tmp/mp4bench"))
    parser.add_argument("--mp4meta", default=os.path.join(ROOT, "build-bench/tools/mp4meta/mp4meta"))
    parser.add_argument("--plugins", default=os.path.join(ROOT, "build-bench/plugins"))
    args = parser.parse_args()
    large = [os.path.join(args.dir, "large", n) for n in sorted(os.listdir(os.path.join(args.dir, "large")))]
    songs = []
    for base, _, names in os.walk(os.path.join(args.dir, "library")):
        songs += [os.path.join(base, n) for n in sorted(names)]
    songs = sorted(s for s in songs if s.endswith((".m4a", ".mp4")))[:200]
    scratch = tempfile.mkdtemp(prefix="mp4churn-", dir=os.environ.get("TMPDIR", "/var/tmp"))
    try:
        copies = []
        for i, src in enumerate(large + songs):
            if os.path.getsize(src) > 1 << 30:
                continue  # the sparse file: copying it would fill it in
            dst = os.path.join(scratch, "%04d-%s" % (i, os.path.basename(src)))
            shutil.copyfile(src, dst)
            copies.append(dst)
        stop = multiprocessing.Event()
        writer = multiprocessing.Process(target=churn, args=(copies, stop))
        writer.start()
        env = dict(os.environ, STRIGI_PLUGIN_PATH=args.plugins)
        runs = errors = short = 0
        bad = []
        messages = {}
        deadline = time.monotonic() + args.seconds
        while time.monotonic() < deadline:
            run = subprocess.run([args.mp4meta, "--json", "--jobs", "2", scratch],
                                 capture_output=True, timeout=120, env=env)
            runs += 1
            lines = run.stdout.decode("utf-8", "replace").splitlines()
            if run.returncode not in (0, 1) or len(lines) != len(copies):
                bad.append("run %d: exit %d, %d lines for %d files: %s" %
                           (runs, run.returncode, len(lines), len(copies), run.stderr[-300:]))
                continue
            for line in lines:
                report = json.loads(line)
                if "error" in report:
                    errors += 1
                    messages[report["error"]] = messages.get(report["error"], 0) + 1
                elif "content.mime_type" not in report["fields"]:
                    short += 1
        stop.set()
        writer.join()
    finally:
        shutil.rmtree(scratch)
    print("%d runs over %d files: %d error entries, %d reports without a mime type, %d bad runs"
          % (runs, len(copies), errors, short, len(bad)))
    for message, count in sorted(messages.items()):
        print("  %d x %s" % (count, message))
    for b in bad:
        print(b)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

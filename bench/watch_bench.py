#!/usr/bin/python3
"""mp4index watch: from a file's close to search finding it, and the watcher over 200,000 files.

    /usr/bin/python3 bench/watch_bench.py [--rounds N] [--idle S] [--dir BENCH_DIR] [--build BUILD_DIR]

Builds mp4index in Release (BUILD_DIR, default build-bench), makes a 1 s
tagged song with ffmpeg and mutagen (each copy gets its own title, written
over the template's in place), then:
  - a lone file, --rounds times (default 100): one song written into a
    watched folder; from its close, `mp4index search DB audio.title:TITLE`
    is run again and again until it prints the file;
  - a burst, --rounds times: 1,000 songs written as fast as Python writes
    them into a new folder, the same measured for one of them at a random
    place (polled beside the writing), then the folder deleted;
  - the 2,000-song library (bench/make_corpus.py --skip-large) under 100
    roots of hard links (200,000 files): update into an empty index against
    watch's start-up (until its first summary line), both again with the
    index up to date, the watcher's peak memory, and its CPU time (from
    /proc/PID/schedstat, in ns) and context switches over --idle seconds
    (default 60) with nothing changing.
Times are wall clock, with the CPU time (user+sys) of the runs beside them;
the load average is printed, since the machine may be shared.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

from common import ROOT, bench_library, build, children_cpu, linked_roots, remove_index, run

TEMPLATE_TITLE = b"w000000"


def make_template(work):
    from mutagen.mp4 import MP4
    path = os.path.join(work, "template.m4a")
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=1",
         "-c:a", "aac", "-b:a", "64k", path])
    tags = MP4(path)
    tags["\xa9nam"] = [TEMPLATE_TITLE.decode()]
    tags["\xa9ART"] = ["Bench"]
    tags.save()
    data = open(path, "rb").read()
    if data.count(TEMPLATE_TITLE) != 1:
        sys.exit("the template's title is not found once")
    return data


class Watch:
    """A running mp4index watch, ready once its first summary line came."""

    def __init__(self, mp4index, args, err):
        # Standard error goes to a file: a pipe nobody reads would stop the
        # watcher once full.
        self.err = err
        self.proc = subprocess.Popen([mp4index, "watch"] + args, stdout=subprocess.PIPE,
                                     stderr=open(err, "w"), text=True)
        self.first = self.proc.stdout.readline()
        self.ready = time.perf_counter()
        # Later lines are read (and dropped) so that the pipe never fills.
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()

    def cpu_seconds(self):
        """User and system time of the whole process, threads that ended included."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def cpu_ns(self):
        """CPU time of the threads alive now, in ns (the idle watcher has one)."""
        total = 0
        for task in os.listdir(f"/proc/{self.proc.pid}/task"):
            with open(f"/proc/{self.proc.pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        return total

    def status(self, field):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        return 0

    def messages(self):
        with open(self.err) as f:
            return f.read()

    def stop(self):
        self.proc.terminate()
        if self.proc.wait() != 0:
            sys.exit("watch ended with status %d: %s" % (self.proc.returncode, self.messages()))


def search(mp4index, db, title):
    """Whether a search finds title; a failed search is reported and counts as not found."""
    r = subprocess.run([mp4index, "search", db, "audio.title:" + title], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        print(f"search failed ({r.returncode}): {r.stderr.strip()}", file=sys.stderr)
    return bool(r.stdout)


def found_after(mp4index, db, title, start):
    """Seconds from start until a search finds title (None: not in 30 s)."""
    while True:
        found = search(mp4index, db, title)
        now = time.perf_counter()
        if found:
            return now - start
        if now - start > 30:
            print("not found in 30 s: " + title, file=sys.stderr)
            return None


def latencies(mp4index, work, template, rounds, burst):
    live = os.path.join(work, "live")
    shutil.rmtree(live, ignore_errors=True)
    os.makedirs(live)
    db = os.path.join(work, "live.db")
    remove_index(db)
    watch = Watch(mp4index, [db, live], os.path.join(work, "live.err"))
    at = template.index(TEMPLATE_TITLE)
    counter = [0]

    def song():
        counter[0] += 1
        title = b"w%06d" % counter[0]
        return title.decode(), template[:at] + title + template[at + len(title):]

    rng = random.Random(7)
    results = []
    cpu = watch.cpu_seconds()
    for r in range(rounds):
        folder = os.path.join(live, "b%03d" % r)
        os.makedirs(folder)
        target = rng.randrange(burst)
        result = []
        poller = None
        for i in range(burst):
            title, data = song()
            with open(os.path.join(folder, title + ".m4a"), "wb") as f:
                f.write(data)
            if i == target:
                start = time.perf_counter()
                poller = threading.Thread(
                    target=lambda t=title, s=start: result.append(found_after(mp4index, db, t, s)))
                poller.start()
        poller.join()
        if result[0] is None:
            sys.exit("watch did not store the file; its messages: " + watch.messages()[-3000:])
        results.append(result[0])
        shutil.rmtree(folder)
        if burst > 1:
            # The deletion is written before the next burst starts.
            while search(mp4index, db, title):
                time.sleep(0.01)
    cpu = watch.cpu_seconds() - cpu
    watch.stop()
    messages = watch.messages().count("\n")
    if messages:
        print(f"({messages} lines of messages from watch, in {watch.err})", file=sys.stderr)
    return results, cpu


def describe(name, values, cpu, files):
    values = sorted(values)
    print(f"| {name} | {len(values)} | {statistics.median(values) * 1000:.0f} ms | "
          f"{values[int(len(values) * 0.9)] * 1000:.0f} ms | {values[-1] * 1000:.0f} ms | "
          f"{cpu * 1e6 / files:.0f} us |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--idle", type=int, default=60)
    parser.add_argument("--dir", default=os.environ.get("BENCH_DIR", "/tmp/mp4bench"))
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    args = parser.parse_args()

    mp4index = build(args.build, ["mp4index"], deps=["--all"])["mp4index"]
    os.environ["STRIGI_PLUGIN_PATH"] = os.path.join(args.build, "plugins")
    work = os.path.join(args.dir, "watch")
    os.makedirs(work, exist_ok=True)
    print("load average at the start: %.2f %.2f %.2f" % os.getloadavg())

    template = make_template(work)
    print("\n| from close to found | files | median | 90th | slowest | watcher CPU a file |")
    print("|---|---|---|---|---|---|")
    lone, cpu = latencies(mp4index, work, template, args.rounds, 1)
    describe("a lone file", lone, cpu, args.rounds)
    burst, cpu = latencies(mp4index, work, template, args.rounds, 1000)
    describe("a file of a 1,000-file burst", burst, cpu, args.rounds * 1000)

    roots = linked_roots(bench_library(args.dir), os.path.join(work, "roots"), 100)
    db = os.path.join(work, "big.db")
    print("\n200,000 files (the library under 100 roots of hard links)")
    print("| run | index | wall | CPU (user+sys) |")
    print("|---|---|---|---|")
    for state in ("empty", "up to date"):
        if state == "empty":
            remove_index(db)
        cpu = children_cpu()
        start = time.perf_counter()
        run([mp4index, "update", db] + roots, stdout=subprocess.DEVNULL)
        wall = time.perf_counter() - start
        print(f"| update | {state} | {wall:.2f} s | {children_cpu() - cpu:.2f} s |")
        if state == "empty":
            remove_index(db)
        start = time.perf_counter()
        watch = Watch(mp4index, [db] + roots, os.path.join(work, "big.err"))
        wall = watch.ready - start
        print(f"| watch, until ready | {state} | {wall:.2f} s | {watch.cpu_seconds():.2f} s |")
        if state == "empty":
            peak, now = watch.status("VmHWM"), watch.status("VmRSS")
            time.sleep(1)
            cpu, switches = watch.cpu_ns(), watch.status("voluntary_ctxt_switches")
            time.sleep(args.idle)
            cpu = watch.cpu_ns() - cpu
            switches = watch.status("voluntary_ctxt_switches") - switches
        watch.stop()
    print(f"\nwatch over 200,000 files: peak memory {peak / 1024:.0f} MB, {now / 1024:.0f} MB "
          f"once ready; over {args.idle} idle seconds: {cpu / 1e6:.3f} ms of CPU, "
          f"{switches} wake-ups")
    print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()

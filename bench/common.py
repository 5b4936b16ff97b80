"""What the bench scripts share: running and timing commands, the Release
build they time, the bench library and its copies under many roots, and the
table of search forms."""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections import namedtuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# One row per form of the query language: (label, the terms after the index).
SEARCHES = [
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
    ("exact text, counted", ["--count", "genre=Jazz"]),
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
    ("fields as CSV", ["--fields", "path,title,artist,album,track,duration", "--format", "csv",
                       "title:123*"]),
    ("fields as JSON", ["--format", "json", "--fields", "path,title,cover", "title:1234"]),
    ("--json", ["--json", "title:1234"]),
]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def timed(cmd, stdout=subprocess.DEVNULL):
    """Wall seconds of one run of cmd, which must succeed."""
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=stdout)
    return time.perf_counter() - start


def children_cpu():
    """User plus system seconds of every child waited for so far."""
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def remove_index(path):
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)


def io_counters():
    with open("/proc/self/io") as f:
        return {k: int(v) for k, v in (line.split(": ") for line in f)}


Measurement = namedtuple("Measurement", "wall cpu peak_kib read fetched status")


def measure(command, output=os.devnull):
    """One run of command with its standard output to the file output: wall and
    CPU seconds (user + system, from wait4), peak resident KiB, bytes read
    (rchar) and bytes the storage fetched (read_bytes, read-ahead included),
    and the exit status. The command runs under /usr/bin/time for the peak: a
    process started straight from Python would count Python's own memory."""
    with tempfile.NamedTemporaryFile("r") as mem:
        argv = ["/usr/bin/time", "-f", "%M", "-o", mem.name, *command]
        out = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        before = io_counters()
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, out, 1)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
        after = io_counters()
        os.close(out)
        peak = int(mem.read().split()[-1])
    return Measurement(wall, usage.ru_utime + usage.ru_stime, peak,
                       after["rchar"] - before["rchar"], after["read_bytes"] - before["read_bytes"],
                       os.waitstatus_to_exitcode(status))


def build(build_dir, targets, deps=None):
    """Configures and builds the targets in Release, tests off, after running
    scripts/install-deps.sh with the arguments deps when it is given."""
    if deps is not None:
        run([os.path.join(ROOT, "scripts/install-deps.sh"), *deps])
    run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
         "-DMP4META_BUILD_TESTS=OFF"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", build_dir, "-j2", "--target", *targets, "strigita_mp4"],
        stdout=subprocess.DEVNULL)
    return {name: os.path.join(build_dir, "tools", name, name) for name in targets}


def bench_library(bench_dir):
    """The 2,000-song library, made by make_corpus.py when BENCH_DIR lacks it."""
    library = os.path.join(bench_dir, "library")
    if not os.path.isdir(library) or len(os.listdir(library)) < 2000:
        run([sys.executable, os.path.join(ROOT, "bench/make_corpus.py"), bench_dir,
             "--skip-large"])
    return library


def linked_roots(library, roots_dir, count):
    """count copies of the library as hard links, roots_dir/r00 and on."""
    roots = [os.path.join(roots_dir, f"r{i:02d}") for i in range(count)]
    if not os.path.isdir(roots[-1]):
        shutil.rmtree(roots_dir, ignore_errors=True)
        os.makedirs(roots_dir)
        for root in roots:
            run(["cp", "-al", library, root])
    return roots


def search_table(mp4index, indexes, rounds):
    """Times every search form on each (name, index): lines printed and the
    median wall time of the whole command over rounds * 4 runs. Prints a
    Markdown table and returns the slowest (seconds, label, index name)."""
    names = [name for name, _ in indexes]
    heads = [f"{n} lines".strip() + " | " + f"{n} time".strip() for n in names]
    print("| search | terms | " + " | ".join(heads) + " |")
    print("|---|---|" + "---|---|" * len(indexes))
    slowest = (0, "", "")
    for label, terms in SEARCHES:
        cells = []
        for name, index in indexes:
            cmd = [mp4index, "search", index] + terms
            found = run(cmd, stdout=subprocess.PIPE).stdout.count(b"\n")
            median = statistics.median(timed(cmd) for _ in range(rounds * 4))
            slowest = max(slowest, (median, label, name))
            cells += [str(found), f"{median * 1000:.1f} ms"]
        print(f"| {label} | `{' '.join(terms)}` | " + " | ".join(cells) + " |")
    return slowest

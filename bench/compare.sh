#!/usr/bin/env bash
# Side-by-side comparison of mp4meta with the I/O floor and TagLib on a
# generated corpus, as reported in BENCHMARKS.md. Run by hand, from any
# directory; takes a few minutes.
#
#   bench/compare.sh [--rounds N] [--skip-callgrind]
#
# BENCH_DIR (default /tmp/mp4bench) receives the corpus (about 0.4 GB on disk
# plus a sparse 5 GiB file), the built readers and the raw measurements;
# BUILD_DIR (default build-bench) is the Release build of mp4meta.
#
# What it does:
#   1. installs what it needs from Debian (ffmpeg, mutagen, TagLib, time,
#      valgrind, the build tools) and builds mp4meta in Release;
#   2. builds the floor reader (bench/floor.cpp) and the TagLib reader
#      (bench/taglib_reader.cpp);
#   3. makes the corpus (bench/make_corpus.py): 2,000 tagged songs, two
#      200 MB movies (movie box first and last), a 5 GiB sparse movie;
#   4. checks that mp4meta's JSON is the same with the fast stream at the
#      default job count as with --stream=buffered --jobs 1;
#   5. times paired runs (floor, TagLib, mp4meta in turn, N rounds, medians)
#      over the library, and over each large file read 100 times in one
#      process (the same path 100 times in the list); wall and CPU time and
#      peak memory (/usr/bin/time's %M) through bench/timed_run.py; --jobs 2
#      against --jobs 1; callgrind instructions per library file (a run over
#      the library less a run over no file).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BENCH_DIR="${BENCH_DIR:-/tmp/mp4bench}"
BUILD_DIR="${BUILD_DIR:-$ROOT/build-bench}"
ROUNDS=7
CALLGRIND=1
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS="$2"; shift 2 ;;
    --skip-callgrind) CALLGRIND=0; shift ;;
    *) echo "usage: $0 [--rounds N] [--skip-callgrind]" >&2; exit 2 ;;
  esac
done

log() { echo "== $*" >&2; }

# 1. Packages and the Release build.
"$ROOT/scripts/install-deps.sh" --all
packages=(ffmpeg python3-mutagen libtag1-dev time pkg-config)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  log "installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi
log "building mp4meta (Release) in $BUILD_DIR"
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DMP4META_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target mp4meta strigita_mp4 >/dev/null
MP4META="$BUILD_DIR/tools/mp4meta/mp4meta"
export STRIGI_PLUGIN_PATH="$BUILD_DIR/plugins"

# 2. The other readers.
mkdir -p "$BENCH_DIR/bin" "$BENCH_DIR/results"
FLOOR="$BENCH_DIR/bin/floor"
TAGLIB="$BENCH_DIR/bin/taglib_reader"
g++ -O2 -std=c++17 -o "$FLOOR" "$ROOT/bench/floor.cpp"
# shellcheck disable=SC2046
g++ -O2 -std=c++17 -o "$TAGLIB" "$ROOT/bench/taglib_reader.cpp" $(pkg-config --cflags --libs taglib)

# 3. The corpus.
log "corpus in $BENCH_DIR"
/usr/bin/python3 "$ROOT/bench/make_corpus.py" "$BENCH_DIR"
LIB="$BENCH_DIR/library.list"
NLIB=$(wc -l <"$LIB")
: >"$BENCH_DIR/empty.list"
for name in first last sparse; do
  for _ in $(seq 100); do cat "$BENCH_DIR/large-$name.list"; done >"$BENCH_DIR/large-$name-x100.list"
  for _ in $(seq 10); do cat "$BENCH_DIR/large-$name-x100.list"; done \
    >"$BENCH_DIR/large-$name-x1000.list"
done
for _ in 1 2 3 4 5; do cat "$LIB"; done >"$BENCH_DIR/library-x5.list"
awk 'NR % 2 == 1' "$LIB" >"$BENCH_DIR/library-half1.list"
awk 'NR % 2 == 0' "$LIB" >"$BENCH_DIR/library-half2.list"

# 4. The same output through the plain buffered stream, one job.
log "checking the output against --stream=buffered --jobs 1"
check() {
  local list="$1" name="$2"
  "$MP4META" --json --files-from "$list" >"$BENCH_DIR/results/$name-fast.json"
  "$MP4META" --json --jobs 1 --stream=buffered --files-from "$list" \
    >"$BENCH_DIR/results/$name-plain.json"
  if ! cmp -s "$BENCH_DIR/results/$name-fast.json" "$BENCH_DIR/results/$name-plain.json"; then
    echo "compare.sh: output differs from the buffered stream for $list" >&2
    exit 1
  fi
}
check "$LIB" library
for name in first last sparse; do check "$BENCH_DIR/large-$name.list" "$name"; done
COVERS=$(grep -c '"content.thumbnail"' "$BENCH_DIR/results/library-fast.json" || true)

# 5. Timings: each run appends "NAME WALL_NS CPU_NS PEAK_KIB" to runs.txt.
RUNS="$BENCH_DIR/results/runs.txt"
: >"$RUNS"
run() {  # run NAME COMMAND...
  /usr/bin/python3 "$ROOT/bench/timed_run.py" "$@" >>"$RUNS"
}
median() {  # median NAME FIELD
  awk -v n="$1" -v f="$2" '$1 == n { print $f }' "$RUNS" | sort -n |
    awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else print v[int((NR + 1) / 2)] }'
}

log "warming the page cache"
for l in "$LIB" "$BENCH_DIR"/large-{first,last}.list; do "$FLOOR" --mode=readall "$l" >/dev/null; done
for l in "$LIB" "$BENCH_DIR"/large-{first,last,sparse}.list; do
  "$FLOOR" "$l" >/dev/null
  "$TAGLIB" "$l" >/dev/null
  "$MP4META" --json --jobs 1 --files-from "$l" >/dev/null
done

EMPTY="$BENCH_DIR/empty.list"
log "library: $ROUNDS paired rounds"
for _ in $(seq "$ROUNDS"); do
  run floor-empty "$FLOOR" "$EMPTY"
  run taglib-empty "$TAGLIB" "$EMPTY"
  run mp4meta-empty "$MP4META" --json --jobs 1 --files-from "$EMPTY"
  run floor-lib "$FLOOR" "$LIB"
  run taglib-lib "$TAGLIB" "$LIB"
  run mp4meta-lib "$MP4META" --json --jobs 1 --files-from "$LIB"
  run mmap-lib "$FLOOR" --mode=mmap "$LIB"
  run readall-lib "$FLOOR" --mode=readall "$LIB"
  run mp4meta-j2-lib "$MP4META" --json --jobs 2 --files-from "$LIB"
  # What two cores give at most right now: two separate processes, each on
  # half of the library (the machine may be shared).
  start=$(date +%s%N)
  "$MP4META" --json --jobs 1 --files-from "$BENCH_DIR/library-half1.list" >/dev/null &
  "$MP4META" --json --jobs 1 --files-from "$BENCH_DIR/library-half2.list" >/dev/null
  wait
  echo "mp4meta-2proc-lib $(($(date +%s%N) - start)) 0 0" >>"$RUNS"
  run mp4meta-lib5 "$MP4META" --json --jobs 1 --files-from "$BENCH_DIR/library-x5.list"
done
for name in first last sparse; do
  log "large file ($name): $ROUNDS paired rounds of 100 reads"
  list="$BENCH_DIR/large-$name-x100.list"
  list1000="$BENCH_DIR/large-$name-x1000.list"
  for _ in $(seq "$ROUNDS"); do
    run "floor-$name" "$FLOOR" "$list"
    run "taglib-$name" "$TAGLIB" "$list"
    run "mp4meta-$name" "$MP4META" --json --jobs 1 --files-from "$list"
    run "mmap-$name" "$FLOOR" --mode=mmap "$list"
    run "floor-$name-1000" "$FLOOR" "$list1000"
    run "taglib-$name-1000" "$TAGLIB" "$list1000"
    run "mp4meta-$name-1000" "$MP4META" --json --jobs 1 --files-from "$list1000"
    run "mmap-$name-1000" "$FLOOR" --mode=mmap "$list1000"
  done
done

INSTR="not measured"
if [ "$CALLGRIND" = 1 ]; then
  log "callgrind over the library (about a minute)"
  cg() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$MP4META" --json --jobs 1 \
      --files-from "$1" 2>&1 >/dev/null | awk '/Collected/ { print $NF }'
  }
  base=$(cg "$EMPTY")
  full=$(cg "$LIB")
  INSTR=$(((full - base) / NLIB))
fi

# The tables. Times per file in µs; "net" less the tool's own start-up (the
# median of its runs over an empty list).
calc() { awk "BEGIN { $1 }"; }
startup() {  # startup TOOL FIELD
  case "$1" in floor | mmap | readall) median floor-empty "$2" ;; *) median "$1-empty" "$2" ;; esac
}
per() {  # per TOOL SUFFIX FIELD COUNT NET(0/1)
  local t s=0
  t=$(median "$1-$2" "$3")
  [ "$5" = 1 ] && s=$(startup "$1" "$3")
  calc "printf \"%.1f\", ($t - $s) / $4 / 1000"
}
row() {  # row LABEL TOOL SUFFIX COUNT
  local w c wn fw tw fc m
  w=$(per "$2" "$3" 2 "$4" 0)
  c=$(per "$2" "$3" 3 "$4" 0)
  wn=$(per "$2" "$3" 2 "$4" 1)
  fw=$(per floor "$3" 2 "$4" 0)
  tw=$(per taglib "$3" 2 "$4" 0)
  fc=$(per floor "$3" 3 "$4" 0)
  fwn=$(per floor "$3" 2 "$4" 1)
  twn=$(per taglib "$3" 2 "$4" 1)
  m=$(median "$2-$3" 4)
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %.1f |\n' "$1" "$w" \
    "$(calc "printf \"%.2f\", $w / $fw")" "$(calc "printf \"%.2f\", $w / $tw")" "$wn" \
    "$(calc "printf \"%.2f\", $wn / $fwn")" "$(calc "printf \"%.2f\", $wn / $twn")" \
    "$(calc "printf \"%.2f\", $c / $fc")" "$(calc "print $m / 1024")"
}
header() {
  echo "| $1 | µs | × floor | × TagLib | µs net | × floor net | × TagLib net | × floor CPU | peak MiB |"
  echo "|---|---|---|---|---|---|---|---|---|"
}

echo
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)," \
  "$(free -g | awk '/Mem:/ { print $2 }') GiB, $(uname -sr); medians of $ROUNDS paired rounds."
echo
echo "Library: $NLIB songs ($COVERS with a cover), one process, warm cache; per file."
echo
header reader
row "floor (pread of the top-level headers and the movie box)" floor lib "$NLIB"
row "TagLib $(pkg-config --modversion taglib) (tags, average audio properties)" taglib lib "$NLIB"
row "mp4meta --json --jobs 1" mp4meta lib "$NLIB"
row "mmap of each file, movie box touched" mmap lib "$NLIB"
row "reading every byte of each file" readall lib "$NLIB"
echo
echo "- start-up (a run over an empty list): floor $(per floor empty 2 1 0) µs," \
  "TagLib $(per taglib empty 2 1 0) µs, mp4meta $(per mp4meta empty 2 1 0) µs"
echo "- the library five times in one run: mp4meta $(per mp4meta lib5 2 $((NLIB * 5)) 0) µs per file," \
  "peak $(calc "printf \"%.1f\", $(median mp4meta-lib5 4) / 1024") MiB"
echo "- --jobs 2: $(calc "printf \"%.2f\", $(median mp4meta-lib 2) / $(median mp4meta-j2-lib 2)")x" \
  "the throughput of --jobs 1, peak $(calc "printf \"%.1f\", $(median mp4meta-j2-lib 4) / 1024") MiB;" \
  "two --jobs 1 processes on half the library each:" \
  "$(calc "printf \"%.2f\", $(median mp4meta-lib 2) / $(median mp4meta-2proc-lib 2)")x"
echo "- callgrind: $INSTR instructions per library file (mp4meta --json --jobs 1, less a run over no file)"
echo
echo "Large files, each read 100 times in one process; per read. \"net\" is the cost of one"
echo "more read: (1,000 reads - 100 reads) / 900, start-up and all."
echo
echo "| file, reader | µs | × floor | × TagLib | µs net | × floor net | × TagLib net | × floor CPU | peak MiB | peak MiB, 1,000 reads |"
echo "|---|---|---|---|---|---|---|---|---|---|"
slope() {  # slope TOOL NAME FIELD -> µs per read between 100 and 1,000 reads
  calc "printf \"%.1f\", ($(median "$1-$2-1000" "$3") - $(median "$1-$2" "$3")) / 900 / 1000"
}
for name in first last sparse; do
  case "$name" in
    first) label="200 MB, movie first" ;;
    last) label="200 MB, movie last" ;;
    sparse) label="5 GiB sparse, movie last" ;;
  esac
  for tool in floor taglib mp4meta mmap; do
    w=$(per "$tool" "$name" 2 100 0)
    fw=$(per floor "$name" 2 100 0)
    tw=$(per taglib "$name" 2 100 0)
    c=$(per "$tool" "$name" 3 100 0)
    fc=$(per floor "$name" 3 100 0)
    n=$(slope "$tool" "$name" 2)
    fn=$(slope floor "$name" 2)
    tn=$(slope taglib "$name" 2)
    printf '| %s: %s | %s | %s | %s | %s | %s | %s | %s | %.1f | %.1f |\n' "$label" "$tool" "$w" \
      "$(calc "printf \"%.2f\", $w / $fw")" "$(calc "printf \"%.2f\", $w / $tw")" "$n" \
      "$(calc "printf \"%.2f\", $n / $fn")" "$(calc "printf \"%.2f\", $n / $tn")" \
      "$(calc "printf \"%.2f\", $c / $fc")" "$(calc "print $(median "$tool-$name" 4) / 1024")" \
      "$(calc "print $(median "$tool-$name-1000" 4) / 1024")"
  done
done

#!/usr/bin/env bash
# Side-by-side comparison of mp4meta with the I/O floor and TagLib on a
# generated corpus, as reported in BENCHMARKS.md. Run by hand, from any
# directory; takes a few minutes (the first run makes the corpus, about two
# minutes more).
#
#   bench/compare.sh [--rounds N] [--cold N] [--skip-callgrind] [--large-only]
#
# BENCH_DIR (default /tmp/mp4bench) receives the corpus (about 1.2 GB on disk
# plus a sparse 5 GiB file), the built readers and the raw measurements;
# BUILD_DIR (default build-bench) is the Release build of mp4meta.
#
# What it does:
#   1. installs what it needs from Debian (ffmpeg, mutagen, TagLib, time,
#      valgrind, the build tools) and builds mp4meta in Release;
#   2. builds the floor reader (bench/floor.cpp) and the TagLib reader
#      (bench/taglib_reader.cpp);
#   3. makes the corpus (bench/make_corpus.py): 2,000 tagged songs and the
#      large files (200 MB movies with the movie box first and last, a 5 GiB
#      sparse movie, a 10-minute H.264 movie whole and in 1 s fragments, a
#      2-hour movie with a 5 MB movie box first and last);
#   4. checks that mp4meta's JSON is the same with the fast stream at the
#      default job count as with --stream=buffered --jobs 1, and checks it
#      again for every timed run of a large file and, once a round, for
#      --jobs 1 and --jobs 2 over the library;
#   5. times paired runs (N rounds, medians): the library (floor, TagLib,
#      mp4meta and two other ways of reading; --jobs 2 next to --jobs 1, and
#      two floor processes next to one); each large file read 100 and 1,000
#      times in one process (the same path repeated in the list), whose
#      difference / 900 is the cost of one more analysis; callgrind
#      instructions per library file;
#   6. with --cold N (as root): N rounds in which the page cache is dropped
#      before each run of each reader over the library and over each large
#      file, with the bytes the disk delivered (/proc/diskstats) beside the
#      page-granular need of the files (bench/page_need.py).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BENCH_DIR="${BENCH_DIR:-/tmp/mp4bench}"
BUILD_DIR="${BUILD_DIR:-$ROOT/build-bench}"
ROUNDS=7
COLD=0
CALLGRIND=1
LIBRARY=1
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS="$2"; shift 2 ;;
    --cold) COLD="$2"; shift 2 ;;
    --skip-callgrind) CALLGRIND=0; shift ;;
    --large-only) LIBRARY=0; CALLGRIND=0; shift ;;
    *) echo "usage: $0 [--rounds N] [--cold N] [--skip-callgrind] [--large-only]" >&2; exit 2 ;;
  esac
done
if [ "$COLD" -gt 0 ] && [ "$(id -u)" -ne 0 ]; then
  echo "compare.sh: --cold drops the page cache and needs root" >&2
  exit 2
fi
LARGE=(first last sparse m10last m10frag h2first h2last)
label() {
  case "$1" in
    first) echo "200 MB, MPEG-4, movie box (84 KB) first" ;;
    last) echo "200 MB, MPEG-4, movie box (84 KB) last" ;;
    sparse) echo "5 GiB sparse, movie box (84 KB) last" ;;
    m10last) echo "200 MB, H.264 10 min, movie box (465 KB) last" ;;
    m10frag) echo "200 MB, H.264 10 min, 1 s fragments (1,203 boxes)" ;;
    h2first) echo "157 MB, 96x64 2 h, movie box (5 MB) first" ;;
    h2last) echo "157 MB, 96x64 2 h, movie box (5 MB) last" ;;
  esac
}

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
for name in "${LARGE[@]}"; do
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
for name in "${LARGE[@]}"; do
  check "$BENCH_DIR/large-$name.list" "$name"
  for _ in $(seq 100); do cat "$BENCH_DIR/results/$name-plain.json"; done \
    >"$BENCH_DIR/results/$name-x100-plain.json"
  for _ in $(seq 10); do cat "$BENCH_DIR/results/$name-x100-plain.json"; done \
    >"$BENCH_DIR/results/$name-x1000-plain.json"
done
same() {  # same OUTPUT REFERENCE: a timed run's output against the buffered stream's
  if ! cmp -s "$1" "$2"; then
    echo "compare.sh: $1 differs from the buffered stream's $2" >&2
    exit 1
  fi
}
COVERS=$(grep -c '"content.thumbnail"' "$BENCH_DIR/results/library-fast.json" || true)

# 5. Timings: each run appends "NAME WALL_NS CPU_NS PEAK_KIB" to runs.txt.
RUNS="$BENCH_DIR/results/runs.txt"
: >"$RUNS"
run() {  # run NAME COMMAND...
  /usr/bin/python3 "$ROOT/bench/timed_run.py" "$@" >>"$RUNS"
}
OUT="$BENCH_DIR/results/out.json"
runOut() {  # runOut NAME REFERENCE COMMAND...: the output kept and checked
  local name="$1" reference="$2"
  shift 2
  TIMED_RUN_OUTPUT="$OUT" /usr/bin/python3 "$ROOT/bench/timed_run.py" "$name" "$@" >>"$RUNS"
  same "$OUT" "$reference"
}
twoProcesses() {  # twoProcesses NAME COMMAND...: the command on each half of the library at once
  local name="$1" start
  shift
  start=$(date +%s%N)
  "$@" "$BENCH_DIR/library-half1.list" >/dev/null &
  "$@" "$BENCH_DIR/library-half2.list" >/dev/null
  wait
  echo "$name $(($(date +%s%N) - start)) 0 0" >>"$RUNS"
}
median() {  # median NAME FIELD
  awk -v n="$1" -v f="$2" '$1 == n { print $f }' "$RUNS" | sort -n |
    awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else print v[int((NR + 1) / 2)] }'
}

log "warming the page cache"
for name in "${LARGE[@]}"; do
  grep -q sparse "$BENCH_DIR/large-$name.list" || "$FLOOR" --mode=readall "$BENCH_DIR/large-$name.list" >/dev/null
done
lists=("$LIB")
for name in "${LARGE[@]}"; do lists+=("$BENCH_DIR/large-$name.list"); done
for l in "${lists[@]}"; do
  "$FLOOR" "$l" >/dev/null
  "$TAGLIB" "$l" >/dev/null
  "$MP4META" --json --jobs 1 --files-from "$l" >/dev/null
done
"$FLOOR" --mode=readall "$LIB" >/dev/null

EMPTY="$BENCH_DIR/empty.list"
if [ "$LIBRARY" = 1 ]; then
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
    # What two cores give right now (the machine may be shared): two
    # separate processes, each on half of the library.
    twoProcesses floor-2proc-lib "$FLOOR"
    twoProcesses mp4meta-2proc-lib "$MP4META" --json --jobs 1 --files-from
    run mp4meta-lib5 "$MP4META" --json --jobs 1 --files-from "$BENCH_DIR/library-x5.list"
    # The output of both job counts, checked once a round (writing the
    # library's 40 MB of JSON would weigh on the timed runs).
    "$MP4META" --json --jobs 1 --files-from "$LIB" >"$OUT"
    same "$OUT" "$BENCH_DIR/results/library-plain.json"
    "$MP4META" --json --jobs 2 --files-from "$LIB" >"$OUT"
    same "$OUT" "$BENCH_DIR/results/library-plain.json"
  done
fi
for name in "${LARGE[@]}"; do
  log "large file ($name): $ROUNDS paired rounds of 100 and 1,000 analyses"
  list="$BENCH_DIR/large-$name-x100.list"
  list1000="$BENCH_DIR/large-$name-x1000.list"
  ref="$BENCH_DIR/results/$name-x100-plain.json"
  ref1000="$BENCH_DIR/results/$name-x1000-plain.json"
  for _ in $(seq "$ROUNDS"); do
    run "floor-$name" "$FLOOR" "$list"
    run "floor-$name-1000" "$FLOOR" "$list1000"
    runOut "mp4meta-$name" "$ref" "$MP4META" --json --jobs 1 --files-from "$list"
    runOut "mp4meta-$name-1000" "$ref1000" "$MP4META" --json --jobs 1 --files-from "$list1000"
    run "taglib-$name" "$TAGLIB" "$list"
  done
done

# Cold cache: each run after the page cache is dropped, the reader's own
# files (its binary, libraries and the plug-in) read back first by a run
# over no file, so that the disk's bytes are those of the corpus.
COLDRUNS="$BENCH_DIR/results/cold.txt"
: >"$COLDRUNS"
DEV=$(stat -c %d "$BENCH_DIR/large")
DEV_MAJOR=$((DEV >> 8))
DEV_MINOR=$((DEV & 255))
sectorsRead() {
  awk -v a="$DEV_MAJOR" -v b="$DEV_MINOR" '$1 == a && $2 == b { print $6 }' /proc/diskstats
}
coldRun() {  # coldRun NAME LIST COMMAND... (the list last)
  local name="$1" list="$2" before after
  shift 2
  sync
  echo 3 >/proc/sys/vm/drop_caches
  /usr/bin/python3 "$ROOT/bench/timed_run.py" warm "$@" "$EMPTY" >/dev/null
  before=$(sectorsRead)
  /usr/bin/python3 "$ROOT/bench/timed_run.py" "$name" "$@" "$list" | tr '\n' ' ' >>"$COLDRUNS"
  after=$(sectorsRead)
  echo "$(((after - before) * 512))" >>"$COLDRUNS"
}
COLDSETS=(lib "${LARGE[@]}")
if [ "$COLD" -gt 0 ]; then
  if [ -z "$(sectorsRead)" ]; then
    echo "compare.sh: no /proc/diskstats entry for the device of $BENCH_DIR" >&2
    exit 1
  fi
  log "cold cache: $COLD rounds"
  for _ in $(seq "$COLD"); do
    for set in "${COLDSETS[@]}"; do
      [ "$set" = lib ] && list="$LIB" || list="$BENCH_DIR/large-$set.list"
      [ "$set" = lib ] && [ "$LIBRARY" = 0 ] && continue
      coldRun "floor-$set" "$list" "$FLOOR"
      coldRun "mp4meta-$set" "$list" "$MP4META" --json --jobs 1 --files-from
      coldRun "taglib-$set" "$list" "$TAGLIB"
    done
  done
fi

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
if [ "$LIBRARY" = 1 ]; then
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
  j2=$(calc "printf \"%.2f\", $(median mp4meta-lib 2) / $(median mp4meta-j2-lib 2)")
  f2=$(calc "printf \"%.2f\", $(median floor-lib 2) / $(median floor-2proc-lib 2)")
  echo "- --jobs 2: ${j2}x the throughput of --jobs 1, peak" \
    "$(calc "printf \"%.1f\", $(median mp4meta-j2-lib 4) / 1024") MiB; two floor processes on" \
    "half the library each: ${f2}x one floor process; --jobs 2 gains" \
    "$(calc "printf \"%.2f\", $j2 / $f2")x of what two floor processes gain; two mp4meta" \
    "--jobs 1 processes: $(calc "printf \"%.2f\", $(median mp4meta-lib 2) / $(median mp4meta-2proc-lib 2)")x"
  echo "- callgrind: $INSTR instructions per library file (mp4meta --json --jobs 1, less a run over no file)"
fi
echo
echo "Large files: one more analysis, (time for 1,000 - time for 100) / 900, in one"
echo "process over the same path; beside it the time per analysis of the 100-analysis"
echo "run, start-up and all. Output checked against the buffered stream on every run."
echo
echo "| file | floor µs net | mp4meta µs net | × floor net | floor µs, 100 | mp4meta µs, 100 | × floor | × floor CPU net | mp4meta peak MiB, 100 / 1,000 | TagLib µs, 100 |"
echo "|---|---|---|---|---|---|---|---|---|---|"
slope() {  # slope TOOL NAME FIELD -> µs per analysis between 100 and 1,000
  # The median of the rounds' differences: each round's two runs are close
  # in time, so a change of the machine's load between rounds cancels.
  awk -v a="$1-$2" -v b="$1-$2-1000" -v f="$3" '
    $1 == a { x[++n] = $f } $1 == b { y[++m] = $f }
    END { for (i = 1; i <= n && i <= m; ++i) print (y[i] - x[i]) / 900 / 1000 }' "$RUNS" |
    sort -g | awk '{ v[NR] = $1 } END { printf "%.1f", NR ? v[int((NR + 1) / 2)] : 0 }'
}
for name in "${LARGE[@]}"; do
  fn=$(slope floor "$name" 2)
  mn=$(slope mp4meta "$name" 2)
  fw=$(per floor "$name" 2 100 0)
  mw=$(per mp4meta "$name" 2 100 0)
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %.1f / %.1f | %s |\n' "$(label "$name")" \
    "$fn" "$mn" "$(calc "printf \"%.2f\", $mn / $fn")" "$fw" "$mw" \
    "$(calc "printf \"%.2f\", $mw / $fw")" \
    "$(calc "printf \"%.2f\", $(slope mp4meta "$name" 3) / $(slope floor "$name" 3)")" \
    "$(calc "print $(median "mp4meta-$name" 4) / 1024")" \
    "$(calc "print $(median "mp4meta-$name-1000" 4) / 1024")" "$(per taglib "$name" 2 100 0)"
done
if [ "$COLD" -gt 0 ]; then
  coldMedian() {  # coldMedian NAME FIELD
    awk -v n="$1" -v f="$2" '$1 == n { print $f }' "$COLDRUNS" | sort -n |
      awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else print v[int((NR + 1) / 2)] }'
  }
  echo
  echo "Cold cache: page cache dropped before every run (medians of $COLD rounds; the disk's"
  echo "read-ahead $(cat "/sys/dev/block/$DEV_MAJOR:$DEV_MINOR/queue/read_ahead_kb" 2>/dev/null || echo '?') KiB). MB read from storage for each reader (its read_bytes),"
  echo "beside the page-granular need (4 KiB pages holding a top-level header or movie box"
  echo "bytes) and, in brackets, what the whole disk delivered meanwhile (/proc/diskstats,"
  echo "other processes included); wall time of the run."
  echo
  echo "| files | need MB | floor MB | mp4meta MB | × need | TagLib MB | floor ms | mp4meta ms | × floor | TagLib ms |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for set in "${COLDSETS[@]}"; do
    [ "$set" = lib ] && [ "$LIBRARY" = 0 ] && continue
    if [ "$set" = lib ]; then
      list="$LIB"
      name="library ($NLIB songs)"
    else
      list="$BENCH_DIR/large-$set.list"
      name=$(label "$set")
    fi
    need=$(/usr/bin/python3 "$ROOT/bench/page_need.py" "$list")
    mb() { calc "printf \"%.1f\", $1 / 1000000"; }
    ms() { calc "printf \"%.1f\", $1 / 1000000"; }
    both() { echo "$(mb "$(coldMedian "$1" 5)") ($(mb "$(coldMedian "$1" 6)"))"; }
    mbytes=$(coldMedian "mp4meta-$set" 5)
    fwall=$(coldMedian "floor-$set" 2)
    mwall=$(coldMedian "mp4meta-$set" 2)
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$name" "$(mb "$need")" \
      "$(both "floor-$set")" "$(both "mp4meta-$set")" \
      "$(calc "printf \"%.2f\", $mbytes / $need")" "$(both "taglib-$set")" "$(ms "$fwall")" \
      "$(ms "$mwall")" "$(calc "printf \"%.2f\", $mwall / $fwall")" \
      "$(ms "$(coldMedian "taglib-$set" 2)")"
  done
fi

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 60) on a copy of its corpus in a temporary folder, with the regression
# inputs as a second, read-only corpus: libFuzzer first replays every input
# of both, then mutates. Any crash, sanitizer report, leak, timeout (10 s for
# one input) or use of more than 2 GiB fails, and the failing input is kept
# in the folder printed. The repository is never changed.
#   fuzz/run.sh [SECONDS]       BUILD_DIR chooses the build (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${BUILD_DIR:-build-fuzz}"

scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -DMP4META_FUZZ=ON -DMP4META_BUILD_TESTS=OFF \
  -DMP4META_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_analyzer_memory fuzz_analyzer_pieces fuzz_file_stream \
  fuzz_archive

work="$(mktemp -d "${TMPDIR:-/tmp}/mp4meta-fuzz.XXXXXX")"
for stream in memory pieces; do
  echo "== fuzz_analyzer_$stream: corpus and regressions replayed, then ${seconds}s of fuzzing"
  cp -r "fuzz/corpus/$stream" "$work/$stream"
  inputs=("$work/$stream")
  if [ -d "fuzz/regressions/$stream" ]; then inputs+=("fuzz/regressions/$stream"); fi
  # -close_fd_mask=2 sends the analyzer's diagnostics to /dev/null; libFuzzer
  # and the sanitizers still report on a copy of standard error.
  if ! "$build/fuzz/fuzz_analyzer_$stream" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -dict=fuzz/mp4.dict -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$work/$stream-" "${inputs[@]}"; then
    echo "fuzz_analyzer_$stream failed; inputs and artifacts kept in $work" >&2
    exit 1
  fi
done
echo "== fuzz_file_stream: corpus replayed, then ${seconds}s of fuzzing"
cp -r fuzz/corpus/file_stream "$work/file_stream"
if ! "$build/fuzz/fuzz_file_stream" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -dict=fuzz/mp4.dict -print_final_stats=1 -artifact_prefix="$work/file_stream-" "$work/file_stream"; then
  echo "fuzz_file_stream failed; inputs and artifacts kept in $work" >&2
  exit 1
fi
echo "== fuzz_archive: corpus and regressions replayed, then ${seconds}s of fuzzing"
cp -r fuzz/corpus/archive "$work/archive"
inputs=("$work/archive")
if [ -d fuzz/regressions/archive ]; then inputs+=(fuzz/regressions/archive); fi
if ! "$build/fuzz/fuzz_archive" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$work/archive-" "${inputs[@]}"; then
  echo "fuzz_archive failed; inputs and artifacts kept in $work" >&2
  exit 1
fi
rm -rf "$work"

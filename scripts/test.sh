#!/usr/bin/env bash
# Builds everything and runs every test. Extra arguments go to CMake, e.g.
#   scripts/test.sh -DMP4META_SANITIZERS=address,undefined
# BUILD_DIR chooses the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DMP4META_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

#!/usr/bin/env bash
# Builds mp4meta and runs it on the bundled samples, as text and as JSON.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target mp4meta strigita_mp4
build/tools/mp4meta/mp4meta samples/*.m4a samples/*.mp4 samples/*.mov samples/*.3gp
build/tools/mp4meta/mp4meta --json samples/*.m4a samples/*.mp4 samples/*.mov samples/*.3gp

#!/usr/bin/env bash
# Builds the Debian package from a copy of the tracked tree (dpkg-buildpackage
# with debhelper; the package's tests run unless DEB_BUILD_OPTIONS=nocheck),
# checks it with lintian (any error or warning fails), and with --check also
# installs it, runs mp4meta, mp4index and their manual pages, removes it and fails if any
# installed file is left behind. The .deb goes to OUT_DIR (default: dist/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --package
out="$(realpath -m "${OUT_DIR:-dist}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/mp4meta" "$out"
git ls-files -z | xargs -0 tar -cf - | tar -xf - -C "$work/mp4meta"
(cd "$work/mp4meta" && dpkg-buildpackage -us -uc -b)
deb="$(ls "$work"/mp4meta_*.deb)"
cp "$deb" "$out/"
deb="$out/$(basename "$deb")"
echo "== lintian $deb"
lintian --fail-on error,warning "$deb"

if [ "${1:-}" = "--check" ]; then
  echo "== install, run, remove"
  dpkg -i "$deb"
  files="$(dpkg -L mp4meta | while read -r f; do [ -d "$f" ] || echo "$f"; done)"
  mp4meta samples/song-ffmpeg.m4a | grep -q "content.mime_type: audio/mp4"
  man -P cat mp4meta | grep -q "mp4meta - print the metadata"
  index="$(mktemp -d)"
  mp4index update "$index/db" samples | grep -q "^11 added"
  mp4index search "$index/db" mp4a | grep -q "song-ffmpeg.m4a"
  rm -rf "$index"
  man -P cat mp4index | grep -q "mp4index *- *keep *and *search"
  runtime="$(mktemp -d)"
  XDG_RUNTIME_DIR="$runtime" systemd-analyze --user verify /usr/lib/systemd/user/mp4index-watch.service
  rm -rf "$runtime"
  dpkg -r mp4meta
  left=""
  for f in $files; do [ -e "$f" ] && left="$left $f"; done
  if [ -n "$left" ]; then
    echo "left behind after dpkg -r:$left" >&2
    exit 1
  fi
  echo "installed, ran, removed: nothing left behind"
fi

#!/bin/sh
# The watcher's systemd user unit verifies without a warning, for the user's
# manager and the system's, and the script it starts follows the default
# folders into the default index and stops cleanly on SIGTERM.
#   watch_unit_test.sh UNIT SCRIPT MP4INDEX
set -eu
unit="$1" script="$2" mp4index="$3"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "$*" >&2; exit 1; }

for manager in --system --user; do
  out="$(XDG_RUNTIME_DIR="$scratch" systemd-analyze "$manager" verify --man=no "$unit" 2>&1)" ||
    fail "systemd-analyze $manager verify failed: $out"
  [ -z "$out" ] || fail "systemd-analyze $manager verify: $out"
done

home="$scratch/home"
mkdir -p "$home/Music"
printf 'not a song\n' > "$home/Music/notes.txt"
env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u MP4INDEX_DB -u MP4INDEX_FOLDERS HOME="$home" \
  MP4INDEX_OPTIONS="--jobs 1" "$script" > "$scratch/out" 2> "$scratch/err" &
pid=$!
waited=0
until grep -q "1 added" "$scratch/out"; do
  [ "$waited" -lt 600 ] || fail "no first pass in 60 s: $(cat "$scratch/err")"
  sleep 0.1
  waited=$((waited + 1))
done
kill -TERM "$pid"
wait "$pid" || fail "the watcher ended with status $?: $(cat "$scratch/err")"
grep -q "$home/Videos: no such folder, not followed" "$scratch/err" ||
  fail "no word of the missing videos folder: $(cat "$scratch/err")"
"$mp4index" show "$home/.local/share/mp4index/index.db" "$home/Music/notes.txt" > /dev/null
echo "unit verified; the script followed ~/Music into ~/.local/share/mp4index/index.db"

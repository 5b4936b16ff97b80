#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, once: a
# package that is already installed is left alone.
set -euo pipefail

# bsdutils gives script(1) and util-linux prlimit(1) and unshare(1), run by the tool
# tests; python3 reads mp4index's CSV back with its csv module; systemd gives
# systemd-analyze, which checks the watcher's unit; postgresql-15 gives the
# server (initdb, pg_ctl) the PostgreSQL tests start in a folder of their own.
packages=(cmake make g++ pkg-config libgtest-dev nlohmann-json3-dev libarchive-dev libsqlite3-dev libpq-dev postgresql-15 clang libclang-rt-14-dev dpkg-dev help2man bsdutils util-linux python3 systemd)
case "${1:-}" in
  --all) packages+=(libbenchmark-dev valgrind sqlite3) ;;
  --package) packages+=(debhelper help2man lintian man-db fakeroot) ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  # The tests run servers of their own: installing the server makes no
  # system-wide cluster (only when postgresql-common is not there yet).
  if ! dpkg-query -W -f='${Status}' postgresql-common 2>/dev/null | grep -q "install ok installed" &&
    [ ! -e /etc/postgresql-common/createcluster.conf ]; then
    "${sudo_cmd[@]}" mkdir -p /etc/postgresql-common
    echo "create_main_cluster = false" | "${sudo_cmd[@]}" tee /etc/postgresql-common/createcluster.conf >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/bin/sh
# A PostgreSQL server for the tests, in a folder of its own and reachable
# only through the Unix socket there (no TCP port), with a superuser
# mp4index that needs no password:
#   pg_server.sh start DIR | restart DIR | stop DIR
# Without PostgreSQL's server programs start does nothing, and the tests
# that need a server are skipped. initdb refuses to run as root, so as
# root the server runs as the user postgres (or nobody).
set -eu
action=$1
dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)

as_owner() {
  if [ "$(id -u)" -ne 0 ]; then
    "$@"
  elif id postgres >/dev/null 2>&1; then
    runuser -u postgres -- "$@"
  else
    runuser -u nobody -- "$@"
  fi
}

ctl() {
  as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 "$@"
}

case $action in
start)
  if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
    echo "no PostgreSQL server programs (postgresql-15): the tests that need a server are skipped"
    exit 0
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  if [ "$(id -u)" -eq 0 ]; then
    if id postgres >/dev/null 2>&1; then chown postgres "$dir"; else chown nobody "$dir"; fi
  fi
  as_owner "$bin/initdb" -D "$dir/data" -U mp4index --auth=trust -E UTF8 --no-locale \
    --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log"; exit 1; }
  cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$dir'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 100
CONF
  ctl start >/dev/null || { cat "$dir/server.log"; exit 1; }
  ;;
restart)
  ctl -m fast restart >/dev/null
  ;;
stop)
  if [ -f "$dir/data/postmaster.pid" ]; then ctl -m immediate stop >/dev/null || true; fi
  rm -rf "$dir"
  ;;
*)
  echo "usage: $0 start|restart|stop DIR" >&2
  exit 2
  ;;
esac

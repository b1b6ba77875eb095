#!/usr/bin/env bash
# A private PostgreSQL server for one test run, reached through ODBC with a
# private driver list, so that nothing of the machine's configuration is used
# or changed.
#
#   fixture.sh setup   <state-dir>   initdb, start on a free port of 127.0.0.1, write <state-dir>/env
#   fixture.sh cleanup <state-dir>   stop this server and remove its data
#
# <state-dir>/odbcinst.ini names the driver "PostgreSQL Unicode"; tests set
# ODBCSYSINI=<state-dir> and ODBCINI=<state-dir>/odbc.ini. <state-dir>/env
# holds KEY=value lines: KIT_PG_HOST, KIT_PG_PORT, KIT_PG_USER, KIT_PG_PASSWORD.
# KIT_PG_FSYNC=on makes the server wait for the disk (the benchmark); tests
# leave it off, as nothing here survives the machine.
# The server runs as an unprivileged user: initdb refuses root, so as root the
# data folder belongs to the user "postgres" (made by the postgresql package).
set -euo pipefail

action=${1:?usage: fixture.sh setup|cleanup <state-dir>}
state=$(realpath -m "${2:?usage: fixture.sh setup|cleanup <state-dir>}")
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
user=kit
password=kit-test-password

as_server() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

cleanup() {
  if [ -f "$state/data/postmaster.pid" ]; then
    as_server "$bin/pg_ctl" -D "$state/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$state/data" "$state/socket" "$state/env"
}

driver_path() {
  local p
  for p in /usr/lib/*/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so; do
    [ -f "$p" ] && { echo "$p"; return; }
  done
  echo "the PostgreSQL ODBC driver (package odbc-postgresql) is missing" >&2
  exit 1
}

setup() {
  [ -n "$bin" ] || { echo "PostgreSQL (package postgresql-15) is missing" >&2; exit 1; }
  mkdir -p "$state"
  cleanup
  mkdir -p "$state/data" "$state/socket"
  printf '%s\n' "$password" >"$state/pwfile"
  if [ "$(id -u)" -eq 0 ]; then chown postgres "$state/data" "$state/socket" "$state/pwfile"; fi
  as_server "$bin/initdb" -D "$state/data" -U "$user" --pwfile="$state/pwfile" -E UTF8 --locale=C.UTF-8 \
    --auth-local=trust --auth-host=scram-sha-256 >"$state/initdb.log" 2>&1 ||
    { cat "$state/initdb.log" >&2; exit 1; }
  rm -f "$state/pwfile"
  local port started=
  for _ in $(seq 20); do
    port=$((20000 + RANDOM % 40000))
    if as_server "$bin/pg_ctl" -D "$state/data" -l "$state/socket/server.log" -w -t 60 \
      -o "-p $port -k $state/socket -c listen_addresses=127.0.0.1 -c fsync=${KIT_PG_FSYNC:-off}" start >/dev/null 2>&1; then
      started=1
      break
    fi
  done
  [ -n "$started" ] || { cat "$state/socket/server.log" >&2; exit 1; }
  cat >"$state/odbcinst.ini" <<INI
[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$(driver_path)
INI
  : >"$state/odbc.ini"
  cat >"$state/env" <<ENV
KIT_PG_HOST=127.0.0.1
KIT_PG_PORT=$port
KIT_PG_USER=$user
KIT_PG_PASSWORD=$password
ENV
  echo "[pg-fixture] PostgreSQL on 127.0.0.1:$port, data in $state/data"
}

case "$action" in
  setup) setup ;;
  cleanup) cleanup ;;
  *) echo "usage: fixture.sh setup|cleanup <state-dir>" >&2; exit 2 ;;
esac

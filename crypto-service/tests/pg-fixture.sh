#!/usr/bin/env bash
# A throw-away PostgreSQL server for the key-database tests.
#   pg-fixture.sh start STATE_DIR   initdb in a temp dir, start on a free loopback port,
#                                   create the test role and database, write STATE_DIR/env
#   pg-fixture.sh stop STATE_DIR    stop the server and remove everything it used
# initdb refuses to run as root, so under root the server runs as the postgres user.
set -euo pipefail

action=${1:?usage: pg-fixture.sh start|stop STATE_DIR}
state=${2:?usage: pg-fixture.sh start|stop STATE_DIR}
user=zarn
password=zarn-test-password
database=zarn_keys

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$bindir" ] || bindir=$(dirname "$(command -v initdb)")

as_server() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop() {
  [ -f "$state/env" ] || return 0
  local dir
  dir=$(sed -n 's/^ZARN_TEST_PG_DIR=//p' "$state/env")
  if [ -n "$dir" ] && [ -d "$dir/data" ]; then
    as_server "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  [ -n "$dir" ] && rm -rf "$dir"
  rm -f "$state/env"
}

start() {
  stop
  mkdir -p "$state"
  local dir
  dir=$(mktemp -d /tmp/zarn-pg.XXXXXX)
  chmod 755 "$dir"
  printf '%s\n' "$password" >"$dir/pwfile"
  [ "$(id -u)" -eq 0 ] && chown -R postgres: "$dir"
  as_server "$bindir/initdb" -D "$dir/data" -U "$user" --pwfile="$dir/pwfile" \
    --auth=scram-sha-256 --encoding=UTF8 --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1; }
  # Write the state first, so that a stop cleans up whatever happens next.
  printf 'ZARN_TEST_PG_DIR=%s\n' "$dir" >"$state/env"
  local port tries=0
  while :; do
    port=$((20000 + RANDOM % 40000))
    if as_server "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir -c fsync=off -c max_connections=200" \
      start >/dev/null; then
      break
    fi
    tries=$((tries + 1))
    [ "$tries" -lt 5 ] || { cat "$dir/server.log" >&2; exit 1; }
  done
  PGPASSWORD=$password "$bindir/createdb" -h 127.0.0.1 -p "$port" -U "$user" "$database"
  cat >>"$state/env" <<END
ZARN_TEST_PG_PORT=$port
ZARN_TEST_PG_USER=$user
ZARN_TEST_PG_PASSWORD=$password
ZARN_TEST_PG_DATABASE=$database
END
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: pg-fixture.sh start|stop STATE_DIR" >&2; exit 2 ;;
esac

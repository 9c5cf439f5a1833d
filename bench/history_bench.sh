#!/usr/bin/env bash
# The history's figures for scripts/bench (section 10): the recorder's
# sustained rate into SQLite and into a PostgreSQL 15 this script starts (a
# scratch cluster on a free port of 127.0.0.1, as the user postgres when run
# as root; stopped at the end), with the process's CPU and the store's
# growth; then /api/history's answer for a day and a month of one point at
# 1 s as a 300-step trend. Prints RESULT lines on stdout.
#
#   history_bench.sh BUILD_DIR SECONDS
set -uo pipefail

BUILD=$(realpath "$1")
SECONDS_RUN="$2"
BENCH="$BUILD/westnet-bench-history"
PGBIN=/usr/lib/postgresql/15/bin

source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/scratch.sh" history-bench
chmod 755 "$WORK"

"$BENCH" rate --history "sqlite:$WORK/rate.db" --points 1000 --rate 10000 --seconds "$SECONDS_RUN"
"$BENCH" query --history "sqlite:$WORK/day.db" --days 1
"$BENCH" query --history "sqlite:$WORK/month.db" --days 30

if [ ! -x "$PGBIN/postgres" ]; then
    echo "history_bench: PostgreSQL 15 is not installed: no server figures" >&2
    exit 0
fi
AS=()
[ "$(id -u)" = 0 ] && AS=(runuser -u postgres --)
mkdir "$WORK/pg" "$WORK/sock"
[ ${#AS[@]} -gt 0 ] && chown postgres "$WORK/pg" "$WORK/sock"
PGPORT=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${AS[@]}" "$PGBIN/initdb" -D "$WORK/pg" -U westnet --auth=trust >"$WORK/initdb.log" 2>&1 || exit 1
"${AS[@]}" "$PGBIN/pg_ctl" -D "$WORK/pg" -l "$WORK/pg/server.log" -w -t 60 \
    -o "-p $PGPORT -k $WORK/sock -c listen_addresses=127.0.0.1" start >/dev/null || exit 1
scratch_extra() { "${AS[@]}" "$PGBIN/pg_ctl" -D "$WORK/pg" -m fast -w stop >/dev/null 2>&1; }
psql() { "$PGBIN/psql" -X -q -t -A -h 127.0.0.1 -p "$PGPORT" -U westnet "$@"; }
URL="postgresql://westnet@127.0.0.1:$PGPORT"
for db in rate day month; do psql -d postgres -c "CREATE DATABASE $db" >/dev/null; done
"$BENCH" rate --history "$URL/rate" --spool "$WORK/spool.db" --points 1000 --rate 10000 \
    --seconds "$SECONDS_RUN" \
    --size-command "$PGBIN/psql -X -t -A -h 127.0.0.1 -p $PGPORT -U westnet -d rate -c \"SELECT pg_total_relation_size('samples')\""
"$BENCH" query --history "$URL/day" --spool "$WORK/spool-day.db" --days 1
"$BENCH" query --history "$URL/month" --spool "$WORK/spool-month.db" --days 30

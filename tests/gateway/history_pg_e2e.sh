#!/usr/bin/env bash
# The history's PostgreSQL store against a real PostgreSQL 15, started by
# the test in a scratch folder on a free port of 127.0.0.1 (as the user
# postgres when the test runs as root). The gateway records an animated
# counter; the server is stopped mid-run (rows wait in the spool) and started
# again: every row reaches it, in order, none lost. The test stops the server.
#
#   history_pg_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
PYTHON=/usr/bin/python3
PGBIN=/usr/lib/postgresql/15/bin

if [ ! -x "$PGBIN/postgres" ]; then
    echo "skip - PostgreSQL 15 is not installed (apt install postgresql)"
    exit 0
fi

WORK=$(mktemp -d /tmp/westnet-history-pg.XXXXXX)
chmod 755 "$WORK"
SIM_PID=""
GW_PID=""
AS=()
if [ "$(id -u)" = 0 ]; then
    AS=(runuser -u postgres --)  # the server refuses to run as root
fi
pg_stop() { "${AS[@]}" "$PGBIN/pg_ctl" -D "$WORK/pg" -m fast -w stop >/dev/null 2>&1; }
cleanup() {
    local pid
    for pid in $GW_PID $SIM_PID; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    pg_stop
    rm -rf "$WORK"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

# --- the server ------------------------------------------------------------------
mkdir "$WORK/pg" "$WORK/sock"
[ ${#AS[@]} -gt 0 ] && chown postgres "$WORK/pg" "$WORK/sock"
PGPORT=$("$PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${AS[@]}" "$PGBIN/initdb" -D "$WORK/pg" -U westnet --auth=trust >"$WORK/initdb.log" 2>&1
check "initdb makes a cluster" equals $? 0
pg_start() {
    "${AS[@]}" "$PGBIN/pg_ctl" -D "$WORK/pg" -l "$WORK/pg/server.log" -w -t 60 \
        -o "-p $PGPORT -k $WORK/sock -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
}
check "PostgreSQL starts on 127.0.0.1:$PGPORT" pg_start
psql() { "$PGBIN/psql" -X -q -t -A -h 127.0.0.1 -p "$PGPORT" -U westnet "$@"; }
psql -d postgres -c "CREATE DATABASE history" >/dev/null
check "with a database for the history" equals $? 0

# --- the gateway ------------------------------------------------------------------
start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" \
    --animate 0540001=counter:200 || exit 1
SPOOL="$WORK/spool.db"
sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
    -e 's#^modbus = .*#modbus = ""#' -e 's#^mqtt = .*#mqtt = ""#' \
    -e "s#^users_file = .*#users_file = \"$WORK/users\"#" -e "s#^audit_file = .*#audit_file = \"\"#" \
    -e "s#^history = .*#history = \"postgresql://westnet@127.0.0.1:$PGPORT/history\"\nhistory_spool = \"$SPOOL\"#" \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
listening() { grep -q 'http: listening on http://127.0.0.1:' "$WORK/gw.err"; }
check "the gateway listens" wait_for 30 listening
PORT=$(sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/gw.err" | head -1)
api() { curl -sf --max-time 10 "http://127.0.0.1:$PORT$1"; }

COUNTER_ROWS="SELECT count(*) FROM samples s JOIN series n ON n.id = s.series WHERE n.name = 'plant/rtu/counter'"
server_rows_at_least() { [ "$(psql -d history -c "$COUNTER_ROWS" 2>/dev/null)" -ge "$1" ] 2>/dev/null; }
check "the counter's rows reach the server" wait_for 30 server_rows_at_least 4

# --- the server away ----------------------------------------------------------------
pg_stop
check "PostgreSQL stopped mid-run" equals $? 0
spooled_at_least() {
    [ "$(sqlite3 "$SPOOL" "SELECT count(*) FROM spool WHERE series = 'plant/rtu/counter'" 2>/dev/null)" -ge "$1" ] 2>/dev/null
}
check "meanwhile the rows wait in the spool" wait_for 30 spooled_at_least 6
check "the log says the server is lost" contains "$WORK/gw.err" "rows wait in $SPOOL"
check "/metrics: westnet_history_server_up 0" eval \
    'api /metrics | grep -q "^westnet_history_server_up{store=\"postgresql\"} 0"'
check "/api/history answers 503 while its server is away" equals \
    "$(curl -s --max-time 10 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$PORT/api/history?line=plant&point=rtu/counter")" 503

# --- back -------------------------------------------------------------------------
check "PostgreSQL starts again" pg_start
spool_empty() { [ "$(sqlite3 "$SPOOL" "SELECT count(*) FROM spool" 2>/dev/null)" = 0 ]; }
check "the spool drains to the server" wait_for 60 spool_empty
server_rows_later() { [ "$(psql -d history -c "$COUNTER_ROWS")" -ge "$1" ]; }
check "and the rows go on" wait_for 30 server_rows_later 14
check "/api/history answers them from the server" eval \
    'api "/api/history?line=plant&point=rtu/counter" | "$PYTHON" -c "import json, sys; sys.exit(len(json.load(sys.stdin)[\"rows\"]) < 14)"'
check "and in steps the server computes: min <= avg <= max, last within" eval \
    'api "/api/history?line=plant&point=rtu/counter&step=5" | "$PYTHON" -c "import json, sys; r = json.load(sys.stdin)[\"rows\"]; sys.exit(not (len(r) >= 3 and all(x[\"min\"] <= x[\"avg\"] <= x[\"max\"] and x[\"min\"] <= x[\"last\"] <= x[\"max\"] for x in r)))"'
kill -TERM "$GW_PID"
wait "$GW_PID"
check "SIGTERM stops the gateway cleanly" equals $? 0
GW_PID=""

psql -d history -F ' ' -c "SELECT s.t, s.value FROM samples s JOIN series n ON n.id = s.series
    WHERE n.name = 'plant/rtu/counter' ORDER BY s.t" >"$WORK/rows.txt"
check "every row of the counter, across the outage: one a second or so, each above the one before" \
    "$PYTHON" -c "
rows = [tuple(map(float, line.split())) for line in open('$WORK/rows.txt') if line.strip()]
gaps = [b[0] - a[0] for a, b in zip(rows, rows[1:])]
assert len(rows) >= 14, rows
assert all(b[1] > a[1] for a, b in zip(rows, rows[1:])), 'out of order'
assert max(gaps) < 5000, 'a gap of %d ms: rows lost' % max(gaps)
"

# Rows past history_keep_days on the server are cut as the gateway starts.
OLD=$(($(date +%s%3N) - 45 * 86400000))
psql -d history -c "INSERT INTO samples SELECT id, $OLD, 1, 0 FROM series" >/dev/null
old_rows() { psql -d history -c "SELECT count(*) FROM samples WHERE t <= $OLD"; }
check "old rows put on the server" test "$(old_rows)" -gt 0
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw2.err" &
GW_PID=$!
no_old_rows() { [ "$(old_rows)" = 0 ]; }
check "started again, the gateway cuts the server's rows past history_keep_days" wait_for 30 no_old_rows
kill -TERM "$GW_PID"
wait "$GW_PID"
GW_PID=""

summary

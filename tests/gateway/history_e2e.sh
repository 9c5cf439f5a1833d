#!/usr/bin/env bash
# The history end to end: westnet-gateway on the example plant records the
# simulator's animated counter into SQLite; started again it still answers
# the old rows and adds new ones; rows older than history_keep_days are cut
# as it starts; /api/history answers steps, CSV and clear refusals; a store
# that is not a database stops the history, never the scan.
#
#   history_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
PYTHON=/usr/bin/python3

WORK=$(mktemp -d /tmp/westnet-history-e2e.XXXXXX)
SIM_PID=""
GW_PID=""
cleanup() {
    local pid
    for pid in $GW_PID $SIM_PID; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

# rtu/counter (register 40001 of station 05) counts up five times a second;
# the gateway reads it once a second.
start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" \
    --animate 0540001=counter:200 || exit 1

DB="$WORK/history.db"
sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
    -e 's#^modbus = .*#modbus = ""#' -e 's#^mqtt = .*#mqtt = ""#' \
    -e "s#^users_file = .*#users_file = \"$WORK/users\"#" \
    -e "s#^audit_file = .*#audit_file = \"\"#" -e "s#^history = .*#history = \"sqlite:$DB\"#" \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"

# start_gateway PLANT: sets GW_PID and PORT.
start_gateway() {
    : >"$WORK/gw.err"
    "$GATEWAY" "$1" 2>"$WORK/gw.err" &
    GW_PID=$!
    listening() { grep -q 'http: listening on http://127.0.0.1:' "$WORK/gw.err"; }
    check "the gateway listens" wait_for 30 listening
    PORT=$(sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/gw.err" | head -1)
}
stop_gateway() {
    kill -TERM "$GW_PID"
    wait "$GW_PID"
    check "SIGTERM stops the gateway cleanly" equals $? 0
    GW_PID=""
}

COUNTER="/api/history?line=plant&point=rtu/counter"
api() { curl -sf --max-time 10 "http://127.0.0.1:$PORT$1"; }
# json EXPRESSION: evaluates EXPRESSION over d, the JSON on stdin; fails when false.
json() { "$PYTHON" -c "import json, sys; d = json.load(sys.stdin); sys.exit(0 if ($1) else 1)"; }
status_of() { curl -s --max-time 10 -o "$WORK/answer" -w '%{http_code}' "http://127.0.0.1:$PORT$1"; }
now_ms() { date +%s%3N; }

# --- recording -----------------------------------------------------------------
start_gateway "$WORK/plant.toml"
rows_at_least() { api "$COUNTER" | json "len(d['rows']) >= $1"; }
check "the counter's changes are recorded" wait_for 30 rows_at_least 5
api "$COUNTER" >"$WORK/first.json"
check "in time order, each a good value above the one before" json \
    "all(a['time'] < b['time'] and a['last'] < b['last'] for a, b in zip(d['rows'], d['rows'][1:])) and all(r['quality'] == 'good' for r in d['rows'])" \
    <"$WORK/first.json"
check "a block's value is a series of its own" eval \
    'api "/api/history?line=plant&point=valves/positions%5B3%5D" | json "len(d[\"rows\"]) >= 1"'
stop_gateway
BEFORE=$(sqlite3 "$DB" "SELECT count(*) FROM samples s JOIN series n ON n.id = s.series WHERE n.name = 'plant/rtu/counter'")
LAST=$(sqlite3 "$DB" "SELECT max(t) FROM samples")
check "every row queued was written by the time it stopped" eval '[ "$BEFORE" -ge 5 ]'

# Rows of 40 and 45 days ago, past history_keep_days = 30: cut as it starts.
OLD=$(($(now_ms) - 45 * 86400000))
sqlite3 "$DB" "INSERT INTO samples SELECT id, $OLD, 1, 0 FROM series WHERE name = 'plant/rtu/counter';
               INSERT INTO samples SELECT id, $OLD + 5 * 86400000, 2, 0 FROM series WHERE name = 'plant/rtu/counter'"

# --- started again -------------------------------------------------------------
start_gateway "$WORK/plant.toml"
newer_rows() { api "$COUNTER" | json "sum(r['time'] > '$(TZ=UTC date -d @$((LAST / 1000 + 1)) +%FT%T)' for r in d['rows']) >= 2"; }
check "started again, it records new rows" wait_for 30 newer_rows
api "$COUNTER" >"$WORK/again.json"
check "and still answers every row of the first run" "$PYTHON" -c "
import json
first = json.load(open('$WORK/first.json'))['rows']
again = json.load(open('$WORK/again.json'))['rows']
assert all(r in again for r in first), 'a row of the first run is missing'
" 
cut() { [ "$(sqlite3 "$DB" "SELECT count(*) FROM samples WHERE t < $OLD + 6 * 86400000")" = 0 ]; }
check "rows older than history_keep_days are cut" wait_for 30 cut
FROM=$(TZ=UTC date -d "@$((OLD / 1000 - 60))" +%FT%TZ)
check "and are not answered" eval \
    'api "$COUNTER&from=$FROM&to=$(TZ=UTC date -d "@$((OLD / 1000 + 6 * 86400))" +%FT%TZ)" | json "d[\"rows\"] == []"'

# --- the API -------------------------------------------------------------------
api "$COUNTER&step=5" >"$WORK/steps.json"
check "steps of 5 s: min <= avg <= max, last within, 720 steps at most for an hour" json \
    "0 < len(d['rows']) <= 720 and all(r['min'] <= r['avg'] <= r['max'] and r['min'] <= r['last'] <= r['max'] for r in d['rows']) and d['step'] == 5" \
    <"$WORK/steps.json"
curl -s --max-time 10 -D "$WORK/csv.head" -o "$WORK/counter.csv" "http://127.0.0.1:$PORT$COUNTER&format=csv"
check "CSV comes as a download" contains "$WORK/csv.head" 'Content-Disposition: attachment; filename="plant_rtu_counter.csv"'
check "with a header and a row per record" eval \
    '[ "$(head -1 "$WORK/counter.csv" | tr -d "\r")" = "time,min,max,avg,last,quality" ] && [ "$(wc -l <"$WORK/counter.csv")" -ge 8 ]'
for refusal in "400 $COUNTER&from=yesterday" "400 $COUNTER&step=-1" "400 $COUNTER&from=2026-01-02T00:00:00Z&to=2026-01-01T00:00:00Z" \
    "404 /api/history?line=plant&point=no/such" "400 /api/history?line=plant&point=valves/positions" \
    "400 /api/history?line=plant"; do
    check "refused: ${refusal#* } (${refusal%% *})" equals "$(status_of "${refusal#* }")" "${refusal%% *}"
done
stop_gateway

# --- a store that is not a database ---------------------------------------------
head -c 8192 /dev/urandom >"$WORK/garbage.db"
sed -e "s#^history = .*#history = \"sqlite:$WORK/garbage.db\"#" "$WORK/plant.toml" >"$WORK/garbage.toml"
start_gateway "$WORK/garbage.toml"
all_good() { api /api/points | json "all(p['quality'] == 'good' for p in d['points'])"; }
check "with a corrupt store the scan goes on" wait_for 30 all_good
check "the history says it stopped (503, with why)" equals "$(status_of "$COUNTER")" 503
check "naming the file" contains "$WORK/answer" "garbage.db"
check "the log says so" contains "$WORK/gw.err" "the history stops (the scan goes on)"
check "/metrics: westnet_history_up 0" eval \
    'api /metrics | grep -q "^westnet_history_up{store=\"sqlite\"} 0"'
stop_gateway

summary

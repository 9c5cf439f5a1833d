#!/usr/bin/env bash
# End to end on Linux: westnet-gateway on the example plant against
# westnet-sim on a pseudo-terminal, reached through a link longer than the
# driver's device field. Checked through the HTTP API: the cache equals the
# image, a write lands in the image (the simulator's dump), the simulator
# killed and started again on its link and the line goes down and comes back
# by itself, the status page in a headless browser shows the values, and
# SIGTERM stops the daemon cleanly.
#
#   gateway_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
PYTHON=/usr/bin/python3

WORK=$(mktemp -d /tmp/westnet-gateway-e2e.XXXXXX)
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

# The simulator on $WORK/hw; its stderr in $WORK/sim.err.
start_plant_sim() {
    # Paced as the driver's line runs (9600 baud, the simulator's default 8O2):
    # replies come byte by byte, as on a real highway.
    start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" \
        --dump "$WORK/dump.img" || exit 1
}

api() { curl -sf --max-time 10 "http://127.0.0.1:$PORT$1"; }
# json EXPRESSION: evaluates EXPRESSION over d, the JSON on stdin; fails when false.
json() { "$PYTHON" -c "import json, sys; d = json.load(sys.stdin); sys.exit(0 if ($1) else 1)"; }
status_is() { api /api/status | json "$1"; }
all_good() { api /api/points | json "all(p['quality'] == 'good' for p in d['points'])"; }
# Writes need an operator: a token of the test's own.
TOKEN=$("$GATEWAY" --users "$WORK/users" token add e2e --role operator 2>/dev/null)
put() { curl -s --max-time 30 -o "$WORK/put.json" -w '%{http_code}' -H "Authorization: Bearer $TOKEN" -X PUT -d "$2" "http://127.0.0.1:$PORT/api/points/plant/$1"; }

# The example plant on this simulator, every front end but HTTP off, HTTP on
# a port the system chooses (the log says which).
sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
    -e 's#^modbus = .*#modbus = ""#' -e 's#^mqtt = .*#mqtt = ""#' -e 's#^timeout_ms = .*#timeout_ms = 50#' \
    -e "s#^users_file = .*#users_file = \"$WORK/users\"#" \
    -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$WORK/history.db\"#" \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"

# --- the command line --------------------------------------------------------
"$GATEWAY" --check "$EXAMPLES/gateway.toml" >"$WORK/out" 2>&1
check "--check on the example plant exits 0" equals $? 0
check "--check prints the 64-word block and its wire time" \
    contains "$WORK/out" "0240001-40064 64 words block read  141 chars   176.2 ms"
printf '[[line]]\nname = "x"\ndevice = "/dev/null"\nbaud = 12345\n[[line.point]]\naddress = "0140001"\n' \
    >"$WORK/bad.toml"
"$GATEWAY" --check "$WORK/bad.toml" >"$WORK/out" 2>&1
check "a bad plant file exits 1" equals $? 1
check "its error names file, line and key" contains "$WORK/out" "$WORK/bad.toml:4: line.baud: 12345"
"$GATEWAY" >"$WORK/out" 2>&1
check "no plant file is a usage error (2)" equals $? 2

# --- serving -----------------------------------------------------------------
start_plant_sim
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
listening() { grep -q 'http: listening on http://127.0.0.1:' "$WORK/gw.err"; }
check "the gateway listens" wait_for 30 listening
PORT=$(sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/gw.err" | head -1)

check "every point becomes good" wait_for 30 all_good
# Every point's value, from the image file itself.
api /api/points >"$WORK/points.json"
cache_equals_image() {
    TESTS_LIB="$(dirname "${BASH_SOURCE[0]}")/../lib" \
        "$PYTHON" - "$EXAMPLES/plant.img" "$WORK/points.json" <<'EOF'
import json, os, sys
sys.path.insert(0, os.environ['TESTS_LIB'])
from plant_image import parse_image
image = parse_image(open(sys.argv[1]).read())
wrong = 0
for p in json.load(open(sys.argv[2]))['points']:
    word = lambda r: image.get((p['station'], r), 0)
    if 'bit' in p:
        want, got = (word(p['register']) >> (p['bit'] - 1)) & 1, p['value']
    else:
        # The raw words are the registers; for plain words the value is too.
        want = [word(p['register'] + i) for i in range(p['registers'])]
        got = p['raw'] if isinstance(p['raw'], list) else [p['raw']]
        plain = p['values'] if 'count' in p else [p['value']]
        if p['type'] == 'uint16' and 'unit' not in p and plain != got:
            print('%s: value %s, raw %s' % (p['name'], plain, got))
            wrong += 1
    if want != got:
        print('%s: %s, the image holds %s' % (p['name'], got, want))
        wrong += 1
sys.exit(1 if wrong else 0)
EOF
}
check "the cache equals the image" cache_equals_image
# Typed points in engineering units, as the example's plant file states them.
engineering() {
    "$PYTHON" - "$WORK/points.json" <<'EOF'
import json, sys
p = {q['name']: q for q in json.load(open(sys.argv[1]))['points']}
t, m, f = p['kiln/temperature'], p['water/meter-total'], p['pump/flow']
sys.exit(0 if (t['value'] == 73.2 and t['raw'] == 732 and t['unit'] == '\u00b0C' and
               t['decimals'] == 1 and m['value'] == 1234567 and m['raw'] == [54919, 18] and
               f['value'] == 12.5 and f['raw'] == [16712, 0]) else 1)
EOF
}
check "typed points give engineering values beside their words" engineering

check "a write answers 200" equals "$(put pump/flow-setpoint 4321)" 200
check "a bit write answers 200" equals "$(put rtu/alarm 0)" 200
check "a float write answers 200" equals "$(put pump/flow 73.25)" 200
check "a value the type cannot hold answers 400" equals "$(put pump/flow 1e39)" 400
check "naming the limits" contains "$WORK/put.json" "out-of-range: this float32 point takes"
check "a point not writable answers 403" equals "$(put tank/levels '[1,2,3]')" 403
check "a bad body answers 400" equals "$(put pump/flow-setpoint '"warm"')" 400
check "an unknown point answers 404" equals "$(put no/such 1)" 404
readback() { api /api/points/plant/pump/flow-setpoint | json "d['value'] == 4321"; }
check "the write is read back" wait_for 10 readback
dumped() {
    kill -USR1 "$SIM_PID"
    grep -q '^0140001 = 4321' "$WORK/dump.img" 2>/dev/null &&
        grep -q '^0500001 = 32767' "$WORK/dump.img" &&
        grep -q '^0140103 = 54919, 18, 17042, 32768$' "$WORK/dump.img"
}
check "the writes landed in the image" wait_for 10 dumped

api /metrics >"$WORK/metrics"
check "metrics count the commands" contains "$WORK/metrics" 'westnet_commands_total{line="plant",station="01",result="good"}'
check "metrics give the values" contains "$WORK/metrics" 'westnet_point_value{line="plant",point="rtu/counter",index="0"} 22136'

# --- the line lost and found -------------------------------------------------
stop_sim
check "the line goes down" wait_for 60 status_is "not d['lines'][0]['up'] and all(s['state'] == 'down' for s in d['lines'][0]['stations'])"
check "its points are no longer good" wait_for 30 status_is "d['lines'][0]['points_good'] == 0"
check "and the log says why" contains "$WORK/gw.err" "line plant: down:"
start_plant_sim
check "the line comes back by itself" wait_for 60 status_is "d['lines'][0]['up'] and d['lines'][0]['reopens'] >= 1"
check "every station answers again" wait_for 30 status_is "all(s['state'] == 'ok' for s in d['lines'][0]['stations'])"
check "every point is good again" wait_for 30 all_good

# --- the status page in a browser ---------------------------------------------
if [ -x /usr/bin/chromium ]; then
    # The page keeps its event stream open: it is read once its table is drawn.
    timeout 90 "$PYTHON" "$(dirname "${BASH_SOURCE[0]}")/../lib/browser.py" "http://127.0.0.1:$PORT/" \
        --until 'document.querySelector("td.value") && document.getElementById("clock").textContent.indexOf("live") === 0' \
        --dom "$WORK/dom.html" 2>"$WORK/chromium.err"
    check "the page shows the points" contains "$WORK/dom.html" "valves/positions"
    check "the page shows a value" contains "$WORK/dom.html" ">22136<"
    check "the page shows a value with its decimals and unit" contains "$WORK/dom.html" ">73.2 °C<"
    check "the page shows the stations' states" contains "$WORK/dom.html" 'class="pill ok">ok<'
    check "the page is live on the event stream" contains "$WORK/dom.html" '<span class="dot" id="dot"></span><span id="clock">live '
else
    echo "skip - /usr/bin/chromium is not installed: the page is not checked in a browser"
fi

# --- stopping -----------------------------------------------------------------
kill -TERM "$GW_PID"
stopped() { ! kill -0 "$GW_PID" 2>/dev/null; }
check "SIGTERM stops the gateway" wait_for 30 stopped
wait "$GW_PID"
check "with exit status 0" equals $? 0
GW_PID=""
check "its log says so" contains "$WORK/gw.err" "info: stopped"

summary

#!/usr/bin/env bash
# /api/events end to end: the example plant on a paced westnet-sim with an
# animated counter. A stream's hello, snapshot and ready; a change of the
# counter and of a written register arriving as they happen; the station and
# the line going down when the simulator is killed; the stream cap; a reload
# ending every stream with "reload"; SIGTERM ending a stream cleanly.
#
#   events_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../lib/scratch.sh" events-e2e
source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"
GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")

start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" \
    --animate 0540001=counter:300 || exit 1
PIDS+=("$SIM_PID")
sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
    -e 's#^modbus = .*#modbus = ""#' -e 's#^mqtt = .*#mqtt = ""#' -e 's#^timeout_ms = .*#timeout_ms = 50#' \
    -e "s#^users_file = .*#users_file = \"$WORK/users\"#" \
    -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$WORK/history.db\"#" \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"
TOKEN=$("$GATEWAY" --users "$WORK/users" token add e2e --role operator 2>/dev/null)
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=("$GW_PID")
listening() { grep -q 'http: listening on http://127.0.0.1:' "$WORK/gw.err"; }
check "the gateway listens" wait_for 30 listening
PORT=$(sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/gw.err" | head -1)
URL="http://127.0.0.1:$PORT"
POINTS=$(grep -c '^\[\[line.point\]\]' "$WORK/plant.toml")

# stream NAME [QUERY]: curl -N on /api/events into $WORK/NAME, in the background.
stream() {
    curl -sN --max-time 60 "$URL/api/events${2:-}" >"$WORK/$1" 2>/dev/null &
    eval "${1}_PID=$!"
    PIDS+=("$!")
}
has() { grep -q -- "$2" "$WORK/$1"; }
# events FILE: the stream as one JSON line per event, {"event": NAME, "data": ...}.
events() {
    python3 -c '
import json, sys
name = None
for line in open(sys.argv[1]):
    line = line.rstrip("\n")
    if line.startswith("event: "):
        name = line[7:]
    elif line.startswith("data: "):
        print(json.dumps({"event": name, "data": json.loads(line[6:])}))
' "$WORK/$1"
}
# after_ready FILE PYTHON: whether an event after "ready" satisfies PYTHON over e.
after_ready() {
    events "$1" | python3 -c '
import json, sys
seen = False
for line in sys.stdin:
    e = json.loads(line)
    if seen and eval(sys.argv[1]):
        sys.exit(0)
    seen = seen or e["event"] == "ready"
sys.exit(1)' "$2"
}
good() { curl -sf "$URL/api/points" | python3 -c 'import json,sys; d=json.load(sys.stdin); sys.exit(0 if all(p["quality"]=="good" for p in d["points"]) else 1)'; }
check "every point becomes good" wait_for 30 good

stream full
check "a stream says hello, every point and ready" wait_for 10 has full '^event: ready'
events full >"$WORK/full.json"
check "hello counts the plant's points" \
    python3 -c "import json,sys; e=json.loads(open(sys.argv[1]).readline()); sys.exit(0 if e['event']=='hello' and e['data']['points']==$POINTS else 1)" "$WORK/full.json"
snapshot=$(sed -n '2,/"event": "ready"/p' "$WORK/full.json" | grep -c '"event": "point"')
check "the snapshot holds every point once" equals "$snapshot" "$POINTS"
check "a point event is the point as /api/points gives it" \
    bash -c "grep -m1 'pump/flow-setpoint' '$WORK/full.json' | python3 -c 'import json,sys; d=json.loads(sys.stdin.read())[\"data\"]; sys.exit(0 if d[\"quality\"]==\"good\" and \"writable\" in d and d[\"line\"]==\"plant\" else 1)'"
check "the animated counter's changes arrive" \
    wait_for 10 after_ready full 'e["event"] == "point" and e["data"]["name"] == "rtu/counter"'

stream live "?snapshot=0"
check "snapshot=0: hello, then ready" wait_for 10 has live '^event: ready'
check "snapshot=0: no point before ready" \
    bash -c "! sed -n '1,/^event: ready/p' '$WORK/live' | grep -q '^event: point'"
code=$(curl -s -o "$WORK/put.json" -w "%{http_code}" --max-time 30 -H "Authorization: Bearer $TOKEN" -X PUT -d 777 "$URL/api/points/plant/pump/flow-setpoint")
check "the write is acknowledged" equals "$code" 200
check "a written register's change arrives" \
    wait_for 10 after_ready live 'e["event"] == "point" and e["data"]["name"] == "pump/flow-setpoint" and e["data"]["value"] == 777'
check "/api/status counts the streams" \
    bash -c "curl -sf '$URL/api/status' | python3 -c 'import json,sys; d=json.load(sys.stdin); sys.exit(0 if any(s[\"name\"]==\"westnet_http_event_streams\" and s[\"value\"]==2 for s in d[\"front_ends\"]) else 1)'"
check "/metrics counts the streams" bash -c "curl -sf '$URL/metrics' | grep -qx 'westnet_http_event_streams 2'"

# The cap: 32 streams at once, the 33rd refused.
for i in $(seq 3 32); do stream "cap$i" "?snapshot=0"; done
capped() { [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$URL/api/events?snapshot=0")" = 503 ]; }
check "the 33rd stream is refused (503)" wait_for 10 capped
for i in $(seq 3 32); do eval "kill \$cap${i}_PID 2>/dev/null"; done

# The trend of the animated counter in headless chromium, judged by what it
# must show: the series' name and unit in the page, and the line's colour
# (the first series' #2b5fab) in many columns across the plot. The picture
# is taken once the chart has drawn (nothing new since its last update) an
# unbroken run of more than 7 s: a loaded machine makes the counter stale
# now and then, which breaks the line where it was.
if [ -x /usr/bin/chromium ]; then
    timeout 75 python3 "$(dirname "${BASH_SOURCE[0]}")/../lib/browser.py" \
        "$URL/#trend=plant/rtu/counter&range=15" --size 1200x1000 --timeout 45 \
        --until 'trend.chart && !trend.dirty && (function (d) { for (var i = 0, start = null; i < d.length; ++i) { if (d[i].y === null) { start = null; } else if (start === null) { start = d[i].x; } else if (d[i].x - start > 7000) { return true; } } return false; })(trend.chart.data.datasets[0].data)' \
        --dom "$WORK/trend.html" --screenshot "$WORK/trend.png" \
        --eval '(function () { var r = trend.chart.canvas.getBoundingClientRect(), a = trend.chart.chartArea; return JSON.stringify({left: r.left + a.left, right: r.left + a.right, top: r.top + a.top, bottom: r.top + a.bottom}); })()' \
        >"$WORK/area.json" 2>"$WORK/browser.err"
    check "the trend is drawn" equals $? 0
    check "the trend names its point" contains "$WORK/trend.html" "plant / rtu/counter"
    check "the chart library is served (no message about it)" lacks "$WORK/trend.html" "libjs-chart.js"
    check "the counter's line runs across the plot" python3 - "$WORK/trend.png" "$WORK/area.json" <<'PY'
import json, struct, sys, zlib
png = open(sys.argv[1], 'rb').read()
area = json.loads(json.loads(open(sys.argv[2]).read()))
pos, idat, width, height = 8, b'', 0, 0
while pos < len(png):
    n, kind = struct.unpack('>I4s', png[pos:pos + 8])
    body = png[pos + 8:pos + 8 + n]
    if kind == b'IHDR':
        width, height, depth, colour = struct.unpack('>IIBB', body[:10])
        assert depth == 8 and colour in (2, 6), (depth, colour)
        bpp = 3 if colour == 2 else 4
    elif kind == b'IDAT':
        idat += body
    pos += 12 + n
raw, rows, prev = zlib.decompress(idat), [], bytearray(width * bpp)
stride = width * bpp + 1
for y in range(height):
    f, line = raw[y * stride], bytearray(raw[y * stride + 1:(y + 1) * stride])
    for i in range(len(line)):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], prev[i - bpp] if i >= bpp else 0
        if f == 1: line[i] = (line[i] + a) & 255
        elif f == 2: line[i] = (line[i] + b) & 255
        elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    rows.append(line)
    prev = line
# The plot area in the page (the screenshot is at the page's scale): the
# buttons and the legend's swatch share the colour, they are outside it.
left, right = int(area['left']), int(area['right'])
cols = set()
for line in rows[int(area['top']):int(area['bottom']) + 1]:
    for x in range(left, min(right + 1, width)):
        if tuple(line[x * bpp:x * bpp + 3]) == (0x2b, 0x5f, 0xab):
            cols.add(x)
# More than 7 s of a 15 s window, the counter changing every 300 ms.
span = max(cols) - min(cols) if cols else 0
print('  columns in the line colour: %d, spanning %d of the plot width %d' % (len(cols), span, right - left))
sys.exit(0 if len(cols) > 150 and span > (right - left) / 3 else 1)
PY
else
    echo "skip - /usr/bin/chromium is not installed: the trend is not drawn in a browser"
fi

stop_sim
check "the station goes down" \
    wait_for 20 after_ready live 'e["event"] == "station" and e["data"] == {"line": "plant", "station": 5, "state": "down"}'
check "the line goes down" \
    wait_for 5 after_ready live 'e["event"] == "line" and e["data"] == {"line": "plant", "up": False}'

kill -HUP "$GW_PID"
check "a reload ends the stream with reload" wait_for 10 has live '^event: reload'
wait "$live_PID"
check "... and the stream ends cleanly" equals $? 0

stream last "?snapshot=0"
check "a new stream opens after the reload" wait_for 10 has last '^event: ready'
kill -TERM "$GW_PID"
wait "$GW_PID"
check "SIGTERM: the gateway exits 0" equals $? 0
wait "$last_PID"
check "SIGTERM: the stream ended cleanly" equals $? 0
summary

#!/usr/bin/env bash
# End to end over MQTT: westnet-gateway on the example plant against
# westnet-sim, publishing to a mosquitto of the test's own on a free loopback
# port, watched and written with mosquitto_sub and mosquitto_pub. The
# retained values equal the image, /set writes land in the image (the
# simulator's dump) with their results, a bad payload writes nothing, and the
# last will is seen when the gateway is killed.
#
#   mqtt_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR   (KEEP=1 leaves its folder)
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
PYTHON=/usr/bin/python3

source "$(dirname "${BASH_SOURCE[0]}")/../../lib/scratch.sh" mqtt-e2e

source "$(dirname "${BASH_SOURCE[0]}")/../../lib/check.sh"

source "$(dirname "${BASH_SOURCE[0]}")/../../lib/broker.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../lib/sim.sh"

check "mosquitto accepts connections" start_broker
PIDS+=($BROKER_PID)
PORT=$BROKER_PORT

# Paced as the driver's line runs (9600 baud, the simulator's default 8O2):
# replies come byte by byte, as on a real highway.
start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" \
    --dump "$WORK/dump.img"
PIDS+=("$SIM_PID")
check "westnet-sim is ready" equals "${SIM_SAID%% *}" "device:"

sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = ""#' \
    -e 's#^modbus = .*#modbus = ""#' -e "s#^mqtt = .*#mqtt = \"mqtt://127.0.0.1:$PORT\"#" \
    -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$WORK/history.db\"#" \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=($GW_PID)

# --- the retained values -----------------------------------------------------
# What a new subscriber gets, against the image (examples/plant.img) read by
# hand: bits count from 1, 0x00FF and 0xFFFF hold the pump's status bits and
# the terminal's alarm.
retained_equal_image() {
    timeout 10 mosquitto_sub -p "$PORT" -t 'westnet/#' -v --retained-only -W 2 \
        >"$WORK/retained" 2>/dev/null
    "$PYTHON" - "$WORK/retained" <<'EOF'
import json, sys
want = {
    'pump/flow-setpoint': 1234, 'pump/running': 1, 'pump/fault': 0,
    'tank/levels': [100, 200, 300], 'pump/run-command': 1,
    'valves/positions': list(range(1, 65)), 'rtu/counter': 0x5678, 'rtu/alarm': 1,
    'rtu/last-register': 42,
    # Typed points: engineering values.
    'kiln/temperature': 73.2, 'water/meter-total': 1234567, 'pump/flow': 12.5,
}
got = {}
for line in open(sys.argv[1]):
    topic, _, payload = line.rstrip('\n').partition(' ')
    got[topic] = payload
ok = got.get('westnet/status') == 'online'
ok = ok and all(got.get('westnet/plant/station/%s/state' % s) == 'ok' for s in ('01', '02', '05'))
for name, value in want.items():
    p = json.loads(got.get('westnet/plant/' + name, 'null'))
    ok = ok and p is not None and p['quality'] == 'good' and p.get('values', p.get('value')) == value
sys.exit(0 if ok else 1)
EOF
}
check "the retained values equal the image" wait_for 60 retained_equal_image
[ $? -eq 0 ] || cat "$WORK/retained" "$WORK/gw.err"

# --- writes ------------------------------------------------------------------
mosquitto_sub -p "$PORT" -t 'westnet/plant/+/+/result' -t 'e2e/ready' -v >"$WORK/results" &
PIDS+=($!)
subscribed() {
    mosquitto_pub -p "$PORT" -t e2e/ready -m 1
    grep -q '^e2e/ready' "$WORK/results"
}
check "the results' subscriber is ready" wait_for 10 subscribed
set_point() { mosquitto_pub -p "$PORT" -q 1 -t "westnet/plant/$1/set" -m "$2"; }
# result_is N NAME RESULT: the Nth result of the point says RESULT.
result_is() {
    grep "^westnet/plant/$2/result " "$WORK/results" | sed -n "${1}p" | grep -qF "\"result\": \"$3\""
}

set_point pump/flow-setpoint 4321
check "a write is answered ok" wait_for 20 result_is 1 pump/flow-setpoint ok
set_point rtu/alarm 0
check "a bit write is answered ok" wait_for 20 result_is 1 rtu/alarm ok
dumped() {
    kill -USR1 "$SIM_PID"
    grep -qE '^0140001 = 4321(,|$)' "$WORK/dump.img" 2>/dev/null &&
        grep -qE '^0500001 = 32767(,|$)' "$WORK/dump.img"
}
check "the writes landed in the image" wait_for 10 dumped
set_point pump/flow-setpoint 65536
check "a value out of range is a bad payload" wait_for 20 result_is 2 pump/flow-setpoint bad-payload
set_point pump/flow-setpoint warm
check "text is a bad payload" wait_for 20 result_is 3 pump/flow-setpoint bad-payload
set_point tank/levels '[1, 2, 3]'
check "a point not writable says so" wait_for 20 result_is 1 tank/levels not-writable
rm -f "$WORK/dump.img"
kill -USR1 "$SIM_PID"
wait_for 10 test -s "$WORK/dump.img"
check "the bad payloads wrote nothing" contains "$WORK/dump.img" "0140001 = 4321,"
check "nor did the refused write" contains "$WORK/dump.img" "0140010 = 100, 200, 300"
readback() {
    timeout 5 mosquitto_sub -p "$PORT" -t westnet/plant/pump/flow-setpoint -C 1 -W 3 2>/dev/null |
        grep -qF '"value": 4321'
}
check "the written value is published" wait_for 20 readback

# --- the last will -----------------------------------------------------------
kill -KILL "$GW_PID"
wait "$GW_PID" 2>/dev/null
offline() {
    [ "$(timeout 5 mosquitto_sub -p "$PORT" -t westnet/status -C 1 -W 3 2>/dev/null)" = offline ]
}
check "killed, the gateway's last will says offline" wait_for 20 offline

summary

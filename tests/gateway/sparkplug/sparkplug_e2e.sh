#!/usr/bin/env bash
# End to end over Sparkplug B: westnet-gateway on the example plant against
# westnet-sim, an edge node on a mosquitto of the test's own, every message
# decoded by an independent codec (the npm package sparkplug-payload, pinned
# by package-lock.json beside this file). Births carry every point with its
# type and the image's value; seq runs in order; a rebirth request brings
# NBIRTH and every DBIRTH with the same bdSeq; DCMD writes (by name and by
# alias) land in the image; the line lost and found gives DDEATH then DBIRTH;
# the gateway killed leaves the broker's NDEATH with the last bdSeq.
#
#   sparkplug_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR   (KEEP=1 leaves its folder)
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
HERE=$(realpath "$(dirname "${BASH_SOURCE[0]}")")
PYTHON=/usr/bin/python3

source "$HERE/../../lib/scratch.sh" sparkplug-e2e
source "$HERE/../../lib/check.sh"
source "$HERE/../../lib/broker.sh"
source "$HERE/../../lib/sim.sh"

# The decoder, installed once per lock file into a cache folder.
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/westnet/sparkplug-npm-$(sha256sum "$HERE/package-lock.json" | cut -c1-16)
if [ ! -d "$CACHE/node_modules/sparkplug-payload" ]; then
    if ! command -v npm >/dev/null; then
        echo "skip - npm is not installed: no independent Sparkplug decoder"
        exit 0
    fi
    mkdir -p "$CACHE"
    cp "$HERE/package.json" "$HERE/package-lock.json" "$CACHE/"
    if ! (cd "$CACHE" && npm ci --no-audit --no-fund --ignore-scripts >"$WORK/npm.log" 2>&1); then
        cat "$WORK/npm.log" >&2
        echo "not ok - npm ci of sparkplug-payload failed"
        exit 1
    fi
fi
spb() { NODE_PATH="$CACHE/node_modules" node "$HERE/spb.js" "$@"; }

check "mosquitto accepts connections" start_broker
PIDS+=($BROKER_PID)
PORT=$BROKER_PORT

start_plant_sim() {
    start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" --dump "$WORK/dump.img"
    PIDS+=("$SIM_PID")
}
start_plant_sim
check "westnet-sim is ready" equals "${SIM_SAID%% *}" "device:"

# Everything on spBv1.0/#, topic and payload in hex, from before the gateway
# starts (the probe says when the subscription stands).
mosquitto_sub -p "$PORT" -t 'spBv1.0/#' -t 'e2e/ready' -F '%t %x' >"$WORK/spb.log" &
PIDS+=($!)
subscribed() {
    mosquitto_pub -p "$PORT" -t e2e/ready -m 1
    grep -q '^e2e/ready' "$WORK/spb.log"
}
check "the subscriber is ready" wait_for 10 subscribed
decoded() { spb decode <"$WORK/spb.log" >"$WORK/spb.jsonl"; }
# holds MODE ARGS...: what spb_check.py MODE says of everything seen so far.
holds() {
    local mode=$1
    shift
    decoded && "$PYTHON" "$HERE/spb_check.py" "$mode" "$WORK/spb.jsonl" "$@" >>"$WORK/check.log"
}

HTTP_PORT=$(free_port)
sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e "s#^http = .*#http = \"127.0.0.1:$HTTP_PORT\"#" \
    -e 's#^modbus = .*#modbus = ""#' -e 's#^mqtt = .*#mqtt = ""#' \
    -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$WORK/history.db\"#" \
    -e "s#^sparkplug = .*#sparkplug = \"mqtt://127.0.0.1:$PORT\"#" \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=($GW_PID)

# --- births ------------------------------------------------------------------
check "the births carry every point, typed, aliased, with a value or marked bad" wait_for 60 holds births
[ $? -eq 0 ] || { cat "$WORK/check.log" "$WORK/gw.err"; }
check "births and data give the image's values" wait_for 60 holds image

# --- rebirth -----------------------------------------------------------------
spb encode '{"metrics": [{"name": "Node Control/Rebirth", "type": "Boolean", "value": true}]}' \
    >"$WORK/rebirth.bin"
mosquitto_pub -p "$PORT" -t spBv1.0/westnet/NCMD/gateway-1 -f "$WORK/rebirth.bin"
check "a rebirth: NBIRTH and every DBIRTH with the image's values, good, same bdSeq, no NDEATH" \
    wait_for 30 holds rebirth 2

# --- writes ------------------------------------------------------------------
spb encode '{"metrics": [{"name": "pump/flow-setpoint", "type": "UInt16", "value": 4321},
                         {"name": "pump/flow", "type": "Float", "value": 20.25}]}' >"$WORK/write.bin"
mosquitto_pub -p "$PORT" -t spBv1.0/westnet/DCMD/gateway-1/plant-s01 -f "$WORK/write.bin"
decoded
ALARM=$("$PYTHON" "$HERE/spb_check.py" alias "$WORK/spb.jsonl" plant-s05 rtu/alarm)
spb encode "{\"metrics\": [{\"alias\": $ALARM, \"type\": \"Boolean\", \"value\": false}]}" \
    >"$WORK/alarm.bin"
mosquitto_pub -p "$PORT" -t spBv1.0/westnet/DCMD/gateway-1/plant-s05 -f "$WORK/alarm.bin"
spb encode '{"metrics": [{"name": "tank/levels/0", "type": "UInt16", "value": 7}]}' >"$WORK/block.bin"
mosquitto_pub -p "$PORT" -t spBv1.0/westnet/DCMD/gateway-1/plant-s01 -f "$WORK/block.bin"
dumped() {
    kill -USR1 "$SIM_PID"
    grep -qE '^0140001 = 4321(,|$)' "$WORK/dump.img" 2>/dev/null &&
        grep -qE '^0500001 = 32767(,|$)' "$WORK/dump.img"
}
check "DCMD writes, by name and by alias, landed in the image" wait_for 20 dumped
check "the written values come back as DDATA" wait_for 20 holds value plant-s01 pump/flow-setpoint 4321
check "a Float written comes back" wait_for 20 holds value plant-s01 pump/flow 20.25
check "a bit written by alias comes back" wait_for 20 holds value plant-s05 rtu/alarm 0
check "the writes are in the audit as sparkplug's" contains "$WORK/audit.jsonl" '"front_end":"sparkplug"'
check "a block's value alone is not written" contains "$WORK/dump.img" "0140010 = 100, 200, 300"
check "and the log says why" contains "$WORK/gw.err" "tank/levels/0: the point is not writable"

curl -s "http://127.0.0.1:$HTTP_PORT/metrics" >"$WORK/metrics"
check "metrics count the births" contains "$WORK/metrics" 'westnet_sparkplug_messages_total{type="DBIRTH"}'
check "metrics count the writes" contains "$WORK/metrics" 'westnet_sparkplug_writes_total{result="ok"} 3'

# --- the line lost and found -------------------------------------------------
stop_sim
check "the line lost: DDEATH for every station" wait_for 60 holds deaths
start_plant_sim
check "the line back: DBIRTH for every station" wait_for 60 holds reborn

check "seq runs 0 to 255 in order over every message, each one decodes" holds seq

# --- the gateway killed ------------------------------------------------------
kill -KILL "$GW_PID"
wait "$GW_PID" 2>/dev/null
check "killed: the broker's NDEATH carries the last bdSeq" wait_for 20 holds ndeath

summary

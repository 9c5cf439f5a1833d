#!/usr/bin/env bash
# End to end over Sparkplug B: westnet-gateway on the example plant against
# westnet-sim, an edge node on a mosquitto of the test's own, every message
# decoded by an independent codec (the npm package sparkplug-payload, pinned
# by package-lock.json beside this file). Births carry every point with its
# type and the image's value; seq runs in order; a rebirth request brings
# NBIRTH and every DBIRTH with the same bdSeq; DCMD writes (by name and by
# alias) land in the image; the line lost and found gives DDEATH then DBIRTH;
# a reload that keeps the Sparkplug settings births again with the same
# bdSeq, names and aliases and no NDEATH; one that sets a primary host ends
# the session (NDEATH) and waits for the host's STATE; the host going offline
# brings NDEATH, a new connection with the next bdSeq, no births until it is
# back (an older STATE ignored), then the births and what changed meanwhile
# as history; a reload onto mqtts:// goes on over TLS; the gateway killed
# leaves the broker's NDEATH with the last bdSeq.
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

# A plain listener and a TLS one on the same broker.
check "a CA and a server certificate are made" make_certificates "$WORK/tls"
TLS_PORT=$(free_port)
check "mosquitto accepts connections" start_broker "listener $TLS_PORT 127.0.0.1" \
    "cafile $WORK/tls/ca.pem" "certfile $WORK/tls/server.pem" "keyfile $WORK/tls/server.key" \
    "log_type all" "log_dest file $WORK/broker.log"
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
# A write is counted when its completion reaches the front end's thread,
# which may come after the value read back.
writes_counted() {
    curl -s "http://127.0.0.1:$HTTP_PORT/metrics" | grep -qF 'westnet_sparkplug_writes_total{result="ok"} 3'
}
check "metrics count the writes" wait_for 10 writes_counted

# --- the line lost and found -------------------------------------------------
stop_sim
check "the line lost: DDEATH for every station" wait_for 60 holds deaths
start_plant_sim
check "the line back: DBIRTH for every station" wait_for 60 holds reborn

# --- reloads ------------------------------------------------------------------
reload() {
    reloads=$(grep -c "SIGHUP: .* read again" "$WORK/gw.err")
    kill -HUP "$GW_PID"
    wait_for 30 reloaded
}
reloaded() { [ "$(grep -c "SIGHUP: .* read again" "$WORK/gw.err")" -gt "$reloads" ]; }
# metric NAME VALUE: /metrics shows the series NAME (no labels) at VALUE.
metric() {
    curl -s "http://127.0.0.1:$HTTP_PORT/metrics" | grep -qx "$1 $2"
}
decoded
NBIRTHS=$("$PYTHON" "$HERE/spb_check.py" count "$WORK/spb.jsonl" NBIRTH)
echo "# a comment added by the test" >>"$WORK/plant.toml"
check "a reload with the Sparkplug settings unchanged" reload
check "... keeps the edge node's connection" contains "$WORK/gw.err" "(kept with their clients: http, sparkplug, history)"
check "... births again: same bdSeq, same names, types and aliases, no NDEATH" \
    wait_for 30 holds reload $((NBIRTHS + 1))

sed -i 's#^sparkplug_primary_host = .*#sparkplug_primary_host = "scada"#' "$WORK/plant.toml"
check "a reload that sets a primary host" reload
check "... ends the session: NDEATH with bdSeq 0" wait_for 30 holds dead 0
check "... connects again with bdSeq 1" wait_for 20 metric westnet_sparkplug_bdseq 1
# write VALUE: pump/flow-setpoint by DCMD (taken even while no host is online).
write() {
    spb encode "{\"metrics\": [{\"name\": \"pump/flow-setpoint\", \"type\": \"UInt16\", \"value\": $1}]}" \
        >"$WORK/held.bin"
    mosquitto_pub -p "$PORT" -t spBv1.0/westnet/DCMD/gateway-1/plant-s01 -f "$WORK/held.bin"
}
held() { curl -s "http://127.0.0.1:$HTTP_PORT/metrics" | grep -q '^westnet_sparkplug_history_queued [1-9]'; }
write 555
check "a value changed while the host is not online is held" wait_for 30 held
# state ONLINE TIMESTAMP [HOST]: a host's retained STATE.
state() { mosquitto_pub -p "$PORT" -r -q 1 -t "spBv1.0/STATE/${3:-scada}" -m "{\"online\": $1, \"timestamp\": $2}"; }
check "... and no births go out before the host is online" holds dead 0
T=$(date +%s%3N)
state true "$T"
check "the host online: NBIRTH with bdSeq 1 and the births, then the held value as history" \
    wait_for 30 holds history 1 plant-s01 pump/flow-setpoint 555

state false $((T + 10))
check "the host offline: NDEATH with bdSeq 1" wait_for 30 holds dead 1
check "... and a new connection with bdSeq 2" wait_for 20 metric westnet_sparkplug_bdseq 2
check "... that waits for the host" metric westnet_sparkplug_born 0
write 556
check "a value changed meanwhile is held" wait_for 30 held
state true $((T + 5))
check "an online STATE older than the offline one is ignored" \
    wait_for 20 contains "$WORK/gw.err" "ignored a STATE of primary host scada (timestamp $((T + 5)))"
check "... no births for it" holds dead 1
state true $((T + 20))
check "the host back: births with bdSeq 2, then the held value as history" \
    wait_for 30 holds history 2 plant-s01 pump/flow-setpoint 556

sed -i -e "s#^sparkplug = .*#sparkplug = \"mqtts://127.0.0.1:$TLS_PORT\"#" \
    -e "s#^sparkplug_aliases = .*#&\nmqtt_ca_file = \"$WORK/tls/ca.pem\"#" "$WORK/plant.toml"
check "a reload onto mqtts://" reload
check "... connects with TLS" wait_for 20 contains "$WORK/gw.err" "sparkplug: connected to the broker at 127.0.0.1:$TLS_PORT"
check "... NDEATH of bdSeq 2, then births with bdSeq 3 over TLS" wait_for 30 holds session 3

check "seq runs 0 to 255 in order over every message, each one decodes" holds seq

# --- the gateway killed ------------------------------------------------------
kill -KILL "$GW_PID"
wait "$GW_PID" 2>/dev/null
check "killed: the broker's NDEATH carries the last bdSeq" wait_for 20 holds ndeath
check "one NDEATH per session, none twice" holds ndeaths 0 1 2 3
check "every connection's will is its NDEATH at QoS 1, unretained; every message unretained at QoS 0, the NDEATHs at 1" \
    "$PYTHON" "$HERE/spb_check.py" broker "$WORK/broker.log"
check "each NDEATH of the gateway's own was followed by its DISCONNECT" \
    equals "$(grep -c 'Received DISCONNECT from westnet-gateway' "$WORK/broker.log")" 3

summary

#!/usr/bin/env bash
# Bad network inputs against westnet-gateway with every front end on: the
# example plant scanned from westnet-sim, a mosquitto broker of the test's
# own, HTTP and Modbus TCP on free loopback ports. attack.py throws malformed
# and random Modbus frames, a flood of connections, stalled clients, garbage
# /set payloads and malformed HTTP requests at it, checking after each group
# that the daemon still serves; here, that it then stops with status 0.
#
#   bad_inputs.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR [SCALE]
#   (SCALE shrinks the counts, e.g. 0.3 under the sanitizers; KEEP=1 keeps
#   the work folder)
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
SCALE=${4:-1}
HERE=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
PYTHON=/usr/bin/python3
IDLE_S=2

source "$HERE/../../lib/scratch.sh" bad-inputs

source "$HERE/../../lib/check.sh"

for tool in mosquitto "$PYTHON"; do
    command -v "$tool" >/dev/null || {
        echo "bad_inputs: $tool is missing (scripts/test installs it)" >&2
        exit 1
    }
done

source "$HERE/../../lib/broker.sh"
source "$HERE/../../lib/sim.sh"
check "mosquitto accepts connections" start_broker
PIDS+=($BROKER_PID)
MQTT_PORT=$BROKER_PORT

# Paced as the driver's line runs (9600 baud, the simulator's default 8O2):
# replies come byte by byte, as on a real highway.
start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" \
    --dump "$WORK/dump.img"
PIDS+=("$SIM_PID")
check "westnet-sim is ready" equals "${SIM_SAID%% *}" "device:"

# An operator's token for the HTTP writes, in the gateway's users file.
TOKEN=$("$GATEWAY" --users "$WORK/users" token add attack --role operator 2>/dev/null)
# HTTP and Modbus on ports the system picks; the log says which. Every
# client comes from 127.0.0.1: it may hold all of modbus_max_clients.
sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
    -e 's#^modbus = .*#modbus = "127.0.0.1:0"\nmodbus_max_clients = 32\nmodbus_clients_per_address = 32\nmodbus_idle_s = '$IDLE_S'#' \
    -e "s#^mqtt = .*#mqtt = \"mqtt://127.0.0.1:$MQTT_PORT\"#" \
    -e "s#^users_file = .*#users_file = \"$WORK/users\"#" \
    -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$WORK/history.db\"#" \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=($GW_PID)
ports_known() {
    grep -q 'http: listening on' "$WORK/gw.err" && grep -q 'modbus: listening on' "$WORK/gw.err" &&
        grep -q 'mqtt: connected' "$WORK/gw.err"
}
check "the gateway listens" wait_for 30 ports_known || {
    cat "$WORK/gw.err"
    summary
    exit 1
}
HTTP_PORT=$(sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/gw.err")
MODBUS_PORT=$(sed -n 's#.*modbus: listening on 127.0.0.1:\([0-9]*\) .*#\1#p' "$WORK/gw.err")
scanned() {
    curl -s "http://127.0.0.1:$HTTP_PORT/api/points" |
        "$PYTHON" -c 'import json, sys; sys.exit(0 if all(p["quality"] == "good" for p in json.load(sys.stdin)["points"]) else 1)'
}
check "every point is read" wait_for 30 scanned

"$PYTHON" "$HERE/attack.py" --modbus "$MODBUS_PORT" --http "$HTTP_PORT" --mqtt "$MQTT_PORT" \
    --token "$TOKEN" \
    --sim-pid "$SIM_PID" --gateway-pid "$GW_PID" --dump "$WORK/dump.img" --image "$EXAMPLES/plant.img" \
    --max-clients 32 --idle "$IDLE_S" --scale "$SCALE" ${ONLY:+--only "$ONLY"} \
    $(ldd "$GATEWAY" | grep -q libasan && echo --sanitized)
check "every attack was answered and the daemon still serves" [ $? -eq 0 ]

check "the gateway is still running" kill -0 "$GW_PID"
kill -TERM "$GW_PID"
wait "$GW_PID"
status=$?
check "the gateway exits 0 on SIGTERM" equals "$status" 0
[ "$status" -eq 0 ] || tail -40 "$WORK/gw.err"
lacks_crash() { ! grep -qiE 'AddressSanitizer|runtime error|terminate called' "$WORK/gw.err"; }
check "no sanitizer or runtime error in the gateway's log" lacks_crash

summary

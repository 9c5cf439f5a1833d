#!/usr/bin/env bash
# Modbus TCP clients that ask too much, against westnet-gateway scanning the
# example plant from westnet-sim at 9600 baud: one client keeps reads of
# registers no point covers coming back to back while the scan's points stay
# good and a second client is served in good time (modbus_fair.py hammer);
# connections past modbus_clients_per_address are closed while the others
# stay, and a write from an address modbus_write_clients leaves out is
# answered 01 (limits); a gateway whose modbus_clients leaves 127.0.0.1 out
# closes its connection at once (refused).
#
#   modbus_fair.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR
#   (KEEP=1 keeps the work folder; SECONDS_HAMMERED=N hammers for N s)
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
HERE=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
PYTHON=/usr/bin/python3

source "$HERE/../lib/scratch.sh" modbus-fair
source "$HERE/../lib/check.sh"
source "$HERE/../lib/sim.sh"

start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" || exit 1
PIDS+=("$SIM_PID")

# plant KEYS...: the example plant on the simulator's line, HTTP and Modbus
# on ports the system picks, MQTT off, these [gateway] keys added.
plant() {
    local keys
    keys=$(printf '%s\\n' "$@")
    sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
        -e "s#^modbus = .*#modbus = \"127.0.0.1:0\"\\n$keys#" -e 's#^mqtt = .*#mqtt = ""#' \
        -e '/^modbus_write_clients = /d' -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$WORK/history.db\"#" \
        "$EXAMPLES/gateway.toml"
}
# start_gateway NAME: runs the gateway on $WORK/NAME.toml, its log in
# $WORK/NAME.log; sets GW_PID, HTTP_PORT and MODBUS_PORT.
start_gateway() {
    "$GATEWAY" "$WORK/$1.toml" 2>"$WORK/$1.log" &
    GW_PID=$!
    PIDS+=($GW_PID)
    listening() { grep -qs 'http: listening on' "$WORK/$1.log" && grep -q 'modbus: listening on' "$WORK/$1.log"; }
    wait_for 30 listening "$1" || {
        cat "$WORK/$1.log" >&2
        return 1
    }
    HTTP_PORT=$(sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/$1.log")
    MODBUS_PORT=$(sed -n 's#.*modbus: listening on 127.0.0.1:\([0-9]*\) .*#\1#p' "$WORK/$1.log")
}
stop_gateway() {
    kill -TERM "$GW_PID"
    wait "$GW_PID"
}
scanned() {
    curl -s "http://127.0.0.1:$HTTP_PORT/api/points" |
        "$PYTHON" -c 'import json, sys; sys.exit(0 if all(p["quality"] == "good" for p in json.load(sys.stdin)["points"]) else 1)'
}

plant 'modbus_clients_per_address = 2' 'modbus_write_clients = []' >"$WORK/fair.toml"
check "the gateway starts" start_gateway fair || exit 1
check "every point is read" wait_for 30 scanned

"$PYTHON" "$HERE/modbus_fair.py" hammer --check --modbus "$MODBUS_PORT" --http "$HTTP_PORT" \
    --seconds "${SECONDS_HAMMERED:-10}"
check "a client hammering the line leaves the scan and a second client alone" [ $? -eq 0 ]

"$PYTHON" "$HERE/modbus_fair.py" limits --modbus "$MODBUS_PORT" --per-address 2
check "two connections from one address, a third closed; a write answered 01" [ $? -eq 0 ]
check "the closed connection is logged" contains "$WORK/fair.log" "modbus_clients_per_address"
check "the refused write is logged" contains "$WORK/fair.log" "modbus_write_clients"
check "the gateway stops" stop_gateway

plant 'modbus_clients = ["10.0.0.0/8"]' >"$WORK/listed.toml"
check "a gateway that serves 10.0.0.0/8 alone starts" start_gateway listed || exit 1
"$PYTHON" "$HERE/modbus_fair.py" refused --modbus "$MODBUS_PORT"
check "a connection from 127.0.0.1 is closed at once" [ $? -eq 0 ]
check "and logged" contains "$WORK/listed.log" "not in modbus_clients"
check "the gateway stops" stop_gateway

summary

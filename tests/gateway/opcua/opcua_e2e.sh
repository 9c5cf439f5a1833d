#!/usr/bin/env bash
# End to end over OPC UA: westnet-gateway on the example plant against
# westnet-sim, its OPC UA server (opcua/server.js, run by the gateway) seen
# by an independent client, node-opcua-client (opcua_client.js beside this
# file). The plant browses as Objects/westnet/LINE/sNN/POINT with each
# point's type, unit, range and status; a subscription sees a register the
# simulator animates; a viewer's write is refused and audited, an operator's
# lands in the simulator's image and in the audit file; anonymous users, a
# wrong password and the endpoint without security are refused; a silenced
# station reads BadNoCommunication, then Good again; the OPC UA server killed
# is started again by the gateway and a subscribed client carries on; with
# opcua_trust_clients = "listed" an unknown client is refused until
# `westnet-gateway opcua trust FILE`, as the log says; password guessing
# is cut off after five failures.
#
#   opcua_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR   (KEEP=1 leaves its folder)
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
HERE=$(realpath "$(dirname "${BASH_SOURCE[0]}")")
PYTHON=/usr/bin/python3

source "$HERE/../../lib/scratch.sh" opcua-e2e
source "$HERE/../../lib/check.sh"
source "$HERE/../../lib/sim.sh"
source "$HERE/../../lib/broker.sh"  # free_port

# The modules the build put beside the gateway (opcua/build.sh), the client among them.
MODULES=$(dirname "$GATEWAY")/opcua/node_modules
if ! command -v "${WESTNET_NODE:-node}" >/dev/null || [ ! -d "$MODULES/node-opcua-client" ]; then
    echo "skip - no node or no OPC UA modules beside the gateway (npm missing at build time)"
    exit 0
fi
NODE=${WESTNET_NODE:-node}
# Its findings are the JSON lines; the library's own notes go to client.err.
client() {
    NODE_PATH="$MODULES" "$NODE" "$HERE/opcua_client.js" "$@" 2>>"$WORK/client.err" |
        tee -a "$WORK/client.err" | grep '^{'
}
# field JSON_LINE KEY: one field of a JSON line, as JSON.
field() { "$PYTHON" -c 'import json,sys; print(json.dumps(json.loads(sys.argv[1]).get(sys.argv[2])))' "$1" "$2"; }

printf 'operator pw 1\n' >"$WORK/op.pw"
printf 'viewer pw 12\n' >"$WORK/view.pw"
"$GATEWAY" --users "$WORK/users" user add op --role operator --password-file "$WORK/op.pw" >/dev/null 2>&1
"$GATEWAY" --users "$WORK/users" user add view --role viewer --password-file "$WORK/view.pw" >/dev/null 2>&1
OP=(--user op --password 'operator pw 1' --pki "$WORK/client-pki")
VIEW=(--user view --password 'viewer pw 12' --pki "$WORK/client-pki")

# rtu/counter (0540001, read every second) counts up every 1.5 s.
start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" --control "$WORK/control" \
    --dump "$WORK/dump.img" --animate 0540001=counter:1500
PIDS+=("$SIM_PID")
check "westnet-sim is ready" equals "${SIM_SAID%% *}" "device:"
control() { printf '%s\n' "$1" | socat -t 5 - "UNIX-CONNECT:$WORK/control"; }

PORT=$(free_port)
URL="opc.tcp://127.0.0.1:$PORT"
write_plant() {
    sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = ""#' \
        -e 's#^modbus = .*#modbus = ""#' -e 's#^mqtt = .*#mqtt = ""#' \
        -e 's#^demote_ms = .*#demote_ms = 1000#' \
        -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" \
        -e "s#^users_file = .*#users_file = \"$WORK/users\"#" \
        -e "s#^opcua = .*#opcua = \"127.0.0.1:$PORT\"#" \
        -e "s#^opcua_trust_clients = .*#opcua_trust_clients = \"$1\"#" \
        -e "s#^opcua_pki = .*#opcua_pki = \"$WORK/pki\"#" \
        "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"
}
write_plant all
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=($GW_PID)
# serving [N]: the OPC UA server has started N times (1) and listens.
serving() {
    [ "$(grep -c "opcua: endpoint opc.tcp://127.0.0.1:$PORT SignAndEncrypt Basic256Sha256" "$WORK/gw.err")" \
        -ge "${1:-1}" ] && grep -q 'ready:' "$WORK/gw.err"
}
check "the gateway starts its OPC UA server" wait_for 30 serving

# --- the address space ---------------------------------------------------------
client tour "$URL" "${OP[@]}" "ns=1;s=plant/rtu/counter" 3 15 >"$WORK/tour.jsonl"
check "browse: every point of the example plant, each typed, with its unit and status" \
    "$PYTHON" - "$WORK/tour.jsonl" <<'EOF'
import json, sys
got = {j["path"]: j for j in map(json.loads, open(sys.argv[1])) if "path" in j}
# path: (nodeId, type, unit, range, writable, value)
want = {
    "plant/s01/pump/flow-setpoint": ("UInt16", None, None, True, 1234),
    "plant/s01/pump/running": ("Boolean", None, None, False, True),
    "plant/s01/tank/levels": ("UInt16", None, None, False, [100, 200, 300]),
    "plant/s01/kiln/temperature": ("Double", "°C", [-3276.8, 3276.7], False, 73.2),
    "plant/s01/water/meter-total": ("UInt32", "l", None, False, 1234567),
    "plant/s01/pump/flow": ("Float", "m³/h", None, True, 12.5),
    "plant/s02/valves/positions": ("UInt16", None, None, False, list(range(1, 65))),
    "plant/s05/rtu/alarm": ("Boolean", None, None, True, None),
}
ok = len(got) == 12
for path, (typ, unit, rng, writable, value) in want.items():
    j = got.get("Objects/westnet/" + path)
    line, _, rest = path.partition("/")
    name = rest.split("/", 1)[1]
    fields = j and (j["nodeId"], j["type"], j["unit"], j["range"], j["writable"], j["status"])
    expect = ("ns=1;s=%s/%s" % (line, name), typ, unit, rng, writable, "Good")
    if fields != expect or (value is not None and j["value"] != value):
        print("  %s: got %s value %s, expected %s value %s" % (path, fields, j and j["value"], expect, value))
        ok = False
if any(j["status"] != "Good" for j in got.values()) or got.get(
        "Objects/westnet/plant/s01/pump/run-command", {}).get("sampling") != 500:
    print("  not every point Good, or run-command's sampling interval not its scan_ms")
    ok = False
print(len(got), "variables") if not ok else None
sys.exit(0 if ok else 1)
EOF

check "a subscription sees the animated counter change" \
    equals "$(tail -1 "$WORK/tour.jsonl")" '{"distinct":3}'

# --- users and writes ------------------------------------------------------------
check "a viewer's write is refused: BadUserAccessDenied" equals \
    "$(field "$(client write "$URL" "${VIEW[@]}" 'ns=1;s=plant/pump/flow' Float 50)" status)" \
    '"BadUserAccessDenied"'
client write "$URL" "${OP[@]}" 'ns=1;s=plant/pump/flow' Float 73.25 \
    'ns=1;s=plant/kiln/temperature' Double 10 >"$WORK/writes.jsonl"
check "an operator's write of a float is Good" equals \
    "$(field "$(sed -n 1p "$WORK/writes.jsonl")" status)" '"Good"'
check "a write to a read-only point is BadNotWritable" equals \
    "$(field "$(sed -n 2p "$WORK/writes.jsonl")" status)" '"BadNotWritable"'
landed() {
    kill -USR1 "$SIM_PID"  # writes the dump
    "$PYTHON" -c "
import sys; sys.path.insert(0, '$HERE/../../lib')
from plant_image import parse_image
image = parse_image(open('$WORK/dump.img').read())
sys.exit(0 if [image.get((1, 40105)), image.get((1, 40106))] == [0x4292, 0x8000] else 1)" 2>/dev/null
}
check "the operator's 73.25 landed in the simulator's image (high word first)" wait_for 20 landed
audited() {
    "$PYTHON" - "$WORK/audit.jsonl" <<'EOF'
import json, sys
records = [json.loads(l) for l in open(sys.argv[1])]
want = [("view", "forbidden"), ("op", "ok")]
got = [(r["who"], r["result"]) for r in records
       if r["front_end"] == "opcua" and r["point"] == "pump/flow" and r["client"].startswith("127.0.0.1:")]
sys.exit(0 if got == want else 1)
EOF
}
check "the audit file has both writes: front end opcua, the user, the client's address" audited

# An operator's session outlives a wrong password given for its user by
# another client, and a reload that keeps the OPC UA settings.
client write "$URL" "${OP[@]}" 'ns=1;s=plant/pump/flow-setpoint' UInt16 111 \
    pause "$WORK/held" "$WORK/go" 'ns=1;s=plant/pump/flow-setpoint' UInt16 222 >"$WORK/held.jsonl" &
HELD=$!
PIDS+=($HELD)
check "an operator's session writes and holds" wait_for 20 test -f "$WORK/held"
check "a wrong password for the same user is refused" equals \
    "$(field "$(client session "$URL" --user op --password wrong --pki "$WORK/client-pki")" session)" \
    '"refused"'
kill -HUP "$GW_PID"
check "a reload that keeps the OPC UA settings" wait_for 20 grep -q 'SIGHUP: .* read again' "$WORK/gw.err"
touch "$WORK/go"
wait "$HELD"
check "the held session still writes: both writes Good" equals \
    "$(grep -c '"status":"Good"' "$WORK/held.jsonl")" 2

REFUSALS=$(client refusals "$URL" "${OP[@]}")
check "an anonymous session is refused" contains <(field "$REFUSALS" anonymous) ANONYMOUS
check "a wrong password is refused: BadUserAccessDenied" contains \
    <(field "$REFUSALS" wrong_password) BadUserAccessDenied
check "the endpoint without security is refused by default" contains <(field "$REFUSALS" none) \
    "securityMode = None"

# --- quality -------------------------------------------------------------------
check "silence 01 taken" equals "$(control 'silence 01')" ok
check "the silenced station's point reads BadNoCommunication" equals \
    "$(field "$(client status "$URL" "${OP[@]}" 'ns=1;s=plant/kiln/temperature' BadNoCommunication 15)" status)" \
    '"BadNoCommunication"'
check "answer 01 taken" equals "$(control 'answer 01')" ok
check "the station back, the point reads Good" equals \
    "$(field "$(client status "$URL" "${OP[@]}" 'ns=1;s=plant/kiln/temperature' Good 15)" status)" '"Good"'

# --- supervision ------------------------------------------------------------------
client survive "$URL" "${OP[@]}" "ns=1;s=plant/rtu/counter" 40 "$WORK/subscribed" >"$WORK/survive.jsonl" &
SURVIVOR=$!
PIDS+=($SURVIVOR)
check "a client subscribes" wait_for 20 test -f "$WORK/subscribed"
SIDECAR=$(sed -n 's/.*started the OPC UA server .* (pid \([0-9]*\)).*/\1/p' "$WORK/gw.err" | tail -1)
kill -9 "$SIDECAR"
restarted() { [ "$(grep -c 'started the OPC UA server' "$WORK/gw.err")" -ge 2 ] && serving 2; }
check "the OPC UA server killed is started again by the gateway" wait_for 20 restarted
check "the gateway's log says how it ended" contains "$WORK/gw.err" "was killed by signal 9"
wait "$SURVIVOR"
check "the subscribed client reconnects and gets values again" contains "$WORK/survive.jsonl" \
    '{"survived":true}'

# --- certificates ------------------------------------------------------------------
# A reload with opcua_trust_clients = "listed" starts the server again; a
# client it has not seen is refused, and the log names the command that trusts it.
write_plant listed
kill -HUP "$GW_PID"
check "the reload starts the OPC UA server on the new trust setting" wait_for 30 serving 3
check "an unknown client certificate is refused" equals \
    "$(field "$(client session "$URL" --user op --password 'operator pw 1' --pki "$WORK/new-pki")" session)" \
    '"refused"'
rejected_file() {
    REJECTED=$(sed -n 's/.*trust it with: westnet-gateway opcua trust \(.*\)$/\1/p' "$WORK/gw.err" | tail -1)
    [ -f "$REJECTED" ]
}
check "the log names the rejected file" wait_for 10 rejected_file
"$GATEWAY" opcua trust "$REJECTED" >"$WORK/trust.out"
check "opcua trust moves it to trusted/certs" test -f "$WORK/pki/trusted/certs/$(basename "$REJECTED")"
session_opens() { [ "$(field "$(client session "$URL" --user op --password 'operator pw 1' --pki "$WORK/new-pki")" session)" = '"opened"' ]; }
check "the client, trusted, opens a session" wait_for 15 session_opens

# Guessing: after five wrong passwords within a minute this machine is
# refused without a check, the right password too, as HTTP does.
GUESSES=$(client guess "$URL" "${OP[@]}" 5)
check "five wrong passwords are refused" equals \
    "$(field "$GUESSES" wrong | grep -o BadUserAccessDenied | wc -l)" 5
check "then the right one is refused too, unchecked" contains <(field "$GUESSES" right) \
    BadUserAccessDenied
check "the log says why" contains "$WORK/gw.err" "refused unchecked, after too many failed logins"

kill "$GW_PID"
wait "$GW_PID"
check "the gateway stops with its OPC UA server" equals "$?" 0
check "no OPC UA server is left" bash -c "! kill -0 $(sed -n 's/.*started the OPC UA server .* (pid \([0-9]*\)).*/\1/p' "$WORK/gw.err" | tail -1) 2>/dev/null"

summary

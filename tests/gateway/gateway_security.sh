#!/usr/bin/env bash
# Who may write, end to end: westnet-gateway over HTTPS (a certificate made
# here) on the example plant, reads not public, against westnet-sim paced at
# 9600 baud. A write without credentials, a viewer's, one from another
# site's page and one through DNS rebinding are refused and never reach the
# station; an operator's lands and, as every attempt, leaves an audit record
# (file and /api/audit, which only an admin may read). Modbus writes from an
# address not allowed are refused and audited too. A headless browser led to
# the gateway under a foreign name gets nothing.
#
#   gateway_security.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
PYTHON=/usr/bin/python3

WORK=$(mktemp -d /tmp/westnet-gateway-security.XXXXXX)
GW_PID=""
cleanup() {
    if [ -n "$GW_PID" ]; then
        kill "$GW_PID" 2>/dev/null
        wait "$GW_PID" 2>/dev/null
    fi
    stop_sim
    rm -rf "$WORK"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/broker.sh"  # free_port

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj /CN=localhost -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>"$WORK/openssl.err" || {
    cat "$WORK/openssl.err"
    exit 1
}

# Who is who: tokens for programs, a user with a password for the page.
OPERATOR=$("$GATEWAY" --users "$WORK/users" token add robot --role operator 2>/dev/null)
VIEWER=$("$GATEWAY" --users "$WORK/users" token add screen --role viewer 2>/dev/null)
printf 'an-admins-password\n' >"$WORK/password"
"$GATEWAY" --users "$WORK/users" user add boss --role admin --password-file "$WORK/password" \
    2>/dev/null
check "the users file is made, readable by its owner alone" equals "$(stat -c %a "$WORK/users")" 600

start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" --dump "$WORK/dump.img" ||
    exit 1
MODBUS_PORT=$(free_port)
sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
    -e "s#^modbus = .*#modbus = \"127.0.0.1:$MODBUS_PORT\"#" -e 's#^mqtt = .*#mqtt = ""#' \
    -e 's#^http_public_read = .*#http_public_read = false#' \
    -e "s#^users_file = .*#users_file = \"$WORK/users\"\nhttp_tls_cert = \"$WORK/cert.pem\"\nhttp_tls_key = \"$WORK/key.pem\"#" \
    -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$WORK/history.db\"#" \
    -e 's#^modbus_write_clients = .*#modbus_write_clients = ["10.9.9.0/24"]#' \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
listening() { grep -q 'http: listening on https://127.0.0.1:' "$WORK/gw.err"; }
check "the gateway listens on HTTPS" wait_for 30 listening
PORT=$(sed -n 's#.*http: listening on https://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/gw.err" | head -1)
BASE="https://127.0.0.1:$PORT"

# code [CURL ARGS...] PATH: the status of one request.
code() {
    curl -s --max-time 30 --cacert "$WORK/cert.pem" -o "$WORK/body" -w '%{http_code}' "$@"
}
put() { code -X PUT -H 'Content-Type: application/json' "$@"; }
json() { "$PYTHON" -c "import json, sys; d = json.load(sys.stdin); sys.exit(0 if ($1) else 1)"; }
good() {
    curl -sf --cacert "$WORK/cert.pem" -H "Authorization: Bearer $VIEWER" "$BASE/api/points" |
        json "all(p['quality'] == 'good' for p in d['points'])"
}
check "every point becomes good" wait_for 60 good

SETPOINT="$BASE/api/points/plant/pump/flow-setpoint"
check "a read without credentials: 401" equals "$(code "$BASE/api/points")" 401
check "a viewer reads" equals "$(code -H "Authorization: Bearer $VIEWER" "$BASE/api/points")" 200
check "a write without credentials: 401" equals "$(put -d 1111 "$SETPOINT")" 401
check "a viewer's write: 403" equals "$(put -H "Authorization: Bearer $VIEWER" -d 2222 "$SETPOINT")" 403
check "a write from another site's page: 403" \
    equals "$(put -H "Authorization: Bearer $OPERATOR" -H 'Origin: http://attacker.example' -d 3333 "$SETPOINT")" 403
check "a write through DNS rebinding: 421" \
    equals "$(put -H "Authorization: Bearer $OPERATOR" --resolve "attacker.example:$PORT:127.0.0.1" \
        -k -d 4444 "https://attacker.example:$PORT/api/points/plant/pump/flow-setpoint")" 421
check "an operator's write: 200" equals "$(put -H "Authorization: Bearer $OPERATOR" -d 4321 "$SETPOINT")" 200
curl -s --cacert "$WORK/cert.pem" -D "$WORK/headers" -o /dev/null "$BASE/"
check "answers forbid framing" contains "$WORK/headers" "X-Frame-Options: DENY"
check "answers allow no inline script" contains "$WORK/headers" "script-src 'self'"
check "HTTPS answers ask for HTTPS from now on" contains "$WORK/headers" "Strict-Transport-Security"

landed() {
    kill -USR1 "$SIM_PID"
    grep -q '^0140001 = 4321' "$WORK/dump.img" 2>/dev/null
}
check "the operator's write landed" wait_for 10 landed
for refused in 1111 2222 3333 4444; do
    check "the refused value $refused never reached the station" lacks "$WORK/dump.img" "0140001 = $refused"
done

# Modbus: 127.0.0.1 is not in modbus_write_clients here.
mbpoll -m tcp -p "$MODBUS_PORT" -a 1 -r 40001 -1 127.0.0.1 5555 >"$WORK/mbpoll.out" 2>&1
check "a Modbus write from an address not allowed is refused" lacks "$WORK/mbpoll.out" "Written 1 references"
check "... and never reaches the station" lacks "$WORK/dump.img" "0140001 = 5555"

audited() {
    "$PYTHON" - "$WORK/audit.jsonl" <<'EOF'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
ok = [r for r in records if r['front_end'] == 'http' and r['result'] == 'ok']
modbus = [r for r in records if r['front_end'] == 'modbus' and r['result'] == 'not-allowed']
forbidden = [r for r in records if r['result'] == 'forbidden' and r['who'] == 'screen']
foreign = [r for r in records if r['result'] == 'cross-origin' and r['value'] == 3333]
sys.exit(0 if len(ok) == 1 and ok[0]['who'] == 'robot' and ok[0]['value'] == 4321
         and ok[0]['point'] == 'pump/flow-setpoint' and ok[0]['client'].startswith('127.0.0.1:')
         and ok[0]['before'] is not None and ok[0]['register'] == 40001 and modbus
         and forbidden and foreign else 1)
EOF
}
check "the write and the refused ones (role, origin, Modbus address) are in the audit file" wait_for 10 audited
check "an operator may not read the audit: 403" \
    equals "$(code -H "Authorization: Bearer $OPERATOR" "$BASE/api/audit")" 403
check "an admin reads the audit" equals "$(code -u boss:an-admins-password "$BASE/api/audit")" 200
check "... and it names the operator's write" json "any(r['who'] == 'robot' and r['value'] == 4321 for r in d['records'])" <"$WORK/body"
check "a wrong password: 401" equals "$(code -u boss:wrong "$BASE/api/audit")" 401

if [ -x /usr/bin/chromium ]; then
    # A page at attacker.example whose name now resolves to the gateway.
    timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic \
        --no-first-run --disable-background-networking --disable-component-update --disable-sync \
        --ignore-certificate-errors --host-resolver-rules="MAP attacker.example 127.0.0.1" \
        --user-data-dir="$WORK/chromium" --virtual-time-budget=3000 --dump-dom \
        "https://attacker.example:$PORT/api/points" >"$WORK/dom.html" 2>"$WORK/chromium.err"
    check "a browser led there under a foreign name gets no values" lacks "$WORK/dom.html" "flow-setpoint"
    check "... but the gateway's refusal" contains "$WORK/dom.html" "misdirected"
else
    echo "skip - /usr/bin/chromium is not installed: DNS rebinding is not tried in a browser"
fi

kill -TERM "$GW_PID"
wait "$GW_PID"
check "SIGTERM stops the gateway (0)" equals $? 0
GW_PID=""
summary

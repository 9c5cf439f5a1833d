#!/usr/bin/env bash
# What access control costs a cached read, measured for scripts/bench:
# westnet-gateway on the example plant (westnet-sim, unpaced: the line is not
# the point) serves GET /api/points/plant/pump/flow-setpoint from its cache
# to one kept-alive client, first over plain HTTP without credentials
# (http_public_read), then with an API token, then with Basic credentials
# (a user's password, checked once and remembered), then the same two over
# HTTPS. Prints one RESULT line a case on stdout, everything else on stderr.
#
#   http_bench.sh BUILD_DIR REQUESTS
set -uo pipefail

BUILD=$(realpath "$1")
REQUESTS="$2"
EXAMPLES="$(dirname "${BASH_SOURCE[0]}")/../examples"

source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/scratch.sh" http-bench
source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/sim.sh"
SIM="$BUILD/westnet-sim"
GATEWAY="$BUILD/westnet-gateway"
fail() {
    echo "http_bench: $*" >&2
    exit 1
}

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -addext "subjectAltName=IP:127.0.0.1" -keyout "$WORK/key.pem" -out "$WORK/cert.pem" \
    2>/dev/null || fail "openssl cannot make a certificate"
TOKEN=$("$GATEWAY" --users "$WORK/users" token add bench --role viewer 2>/dev/null)
printf 'a-bench-password\n' >"$WORK/password"
"$GATEWAY" --users "$WORK/users" user add reader --role viewer --password-file "$WORK/password" \
    2>/dev/null || fail "cannot add the user"
start_sim --image "$EXAMPLES/plant.img" --link "$WORK/hw" || fail "westnet-sim did not start"

# run_gateway NAME [EXTRA KEYS]: starts it, sets PORT and GW_PID.
run_gateway() {
    sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
        -e 's#^modbus = .*#modbus = ""#' -e 's#^mqtt = .*#mqtt = ""#' \
        -e "s#^users_file = .*#users_file = \"$WORK/users\"$2#" \
        -e "s#^audit_file = .*#audit_file = \"\"#" -e 's#^history = .*#history = ""#' \
        "$EXAMPLES/gateway.toml" >"$WORK/$1.toml"
    "$GATEWAY" "$WORK/$1.toml" 2>"$WORK/$1.err" &
    GW_PID=$!
    PIDS+=("$GW_PID")
    local i
    for i in $(seq 300); do
        PORT=$(sed -n 's#.*http: listening on https\?://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/$1.err")
        [ -n "$PORT" ] && return 0
        sleep 0.1
    done
    fail "the gateway $1 did not listen: $(cat "$WORK/$1.err")"
}

measure() { # CASE SCHEME [HEADER]
    /usr/bin/python3 - "$1" "$2" "$PORT" "$REQUESTS" "$WORK/cert.pem" "${3:-}" <<'EOF'
import http.client, ssl, sys, time
case, scheme, port, n, ca, header = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6]
headers = {}
if header:
    name, value = header.split(': ', 1)
    headers[name] = value
if scheme == 'https':
    conn = http.client.HTTPSConnection('127.0.0.1', port, context=ssl.create_default_context(cafile=ca))
else:
    conn = http.client.HTTPConnection('127.0.0.1', port)
path = '/api/points/plant/pump/flow-setpoint'
def get():
    conn.request('GET', path, headers=headers)
    r = conn.getresponse()
    body = r.read()
    if r.status != 200:
        sys.exit('%s: %d %s' % (case, r.status, body[:200]))
for _ in range(50):  # the connection, the TLS session, the remembered password
    get()
times = []
start = time.perf_counter()
for _ in range(n):
    t = time.perf_counter()
    get()
    times.append(time.perf_counter() - t)
total = time.perf_counter() - start
times.sort()
print('RESULT kind=http case=%s requests=%d per_s=%.0f p50_ms=%.3f p99_ms=%.3f' % (
    case, n, n / total, times[len(times) // 2] * 1000, times[int(len(times) * 0.99)] * 1000))
EOF
}

run_gateway plain ""
measure public http || fail "public read failed"
measure token http "Authorization: Bearer $TOKEN" || fail "token read failed"
basic="Authorization: Basic $(printf 'reader:a-bench-password' | base64 -w0)"
measure basic http "$basic" || fail "basic read failed"
kill "$GW_PID"
wait "$GW_PID" 2>/dev/null

run_gateway tls "\\nhttp_tls_cert = \"$WORK/cert.pem\"\\nhttp_tls_key = \"$WORK/key.pem\""
measure tls-token https "Authorization: Bearer $TOKEN" || fail "TLS token read failed"
measure tls-basic https "$basic" || fail "TLS basic read failed"
kill "$GW_PID"
wait "$GW_PID" 2>/dev/null
stop_sim

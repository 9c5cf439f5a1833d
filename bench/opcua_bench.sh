#!/usr/bin/env bash
# The OPC UA server under a SCADA's load, measured for scripts/bench:
# westnet-gateway on a plant of 10,000 word points on two lines of 5,000
# (a westnet-sim each, paced at 57600 baud), its OPC UA server taking one
# client (node-opcua-client, SignAndEncrypt Basic256Sha256, a user's
# password) that monitors all 10,000 in one subscription. On each line 1,000
# registers count up by themselves every 2 s and are read every second
# (catching every change takes reading twice as often as it comes, which one
# line's wire could not do at one change a second), so 1,000 changes a
# second go from the wire to the client; each one's delay is taken from the
# simulator's period it began in. Also the OPC UA server's memory (RSS) and
# CPU time. Prints one RESULT line on stdout, everything else on stderr.
#
#   opcua_bench.sh BUILD_DIR SECONDS
set -uo pipefail

BUILD=$(realpath "$1")
SECONDS_MEASURED="$2"
HERE=$(realpath "$(dirname "${BASH_SOURCE[0]}")")

source "$HERE/../tests/lib/scratch.sh" opcua-bench
source "$HERE/../tests/lib/check.sh"
source "$HERE/../tests/lib/sim.sh"
source "$HERE/../tests/lib/broker.sh"  # free_port
SIM="$BUILD/westnet-sim"
GATEWAY="$BUILD/westnet-gateway"
MODULES="$BUILD/opcua/node_modules"
fail() {
    echo "opcua_bench: $*" >&2
    exit 1
}
[ -d "$MODULES/node-opcua-client" ] || fail "no OPC UA modules in $MODULES (npm at build time)"

POINTS=10000  # 5,000 a line
ANIMATED=1000 # a line
PERIOD_MS=2000
printf 'a-bench-password\n' >"$WORK/password"
"$GATEWAY" --users "$WORK/users" user add bench --role viewer --password-file "$WORK/password" \
    2>/dev/null || fail "cannot add the user"

animate=()
for i in $(seq 0 $((ANIMATED - 1))); do
    animate+=(--animate "$(printf '01%05d' $((20001 + i)))=counter:$PERIOD_MS")
done
# Period k of every counter starts k periods after its simulator's device line.
start_sim --baud 57600 --station 1 --link "$WORK/hw-a" "${animate[@]}" || fail "westnet-sim did not start"
T0_MS=$(date +%s%3N)
PIDS+=("$SIM_PID")
start_sim --baud 57600 --station 1 --link "$WORK/hw-b" "${animate[@]}" || fail "westnet-sim did not start"
T1_MS=$(date +%s%3N)
PIDS+=("$SIM_PID")

PORT=$(free_port)
{
    cat <<EOF
[gateway]
http = ""
modbus = ""
users_file = "$WORK/users"
audit_file = ""
opcua = "127.0.0.1:$PORT"
opcua_trust_clients = "all"
opcua_pki = "$WORK/pki"
EOF
    for line in a b; do
        printf '\n[[line]]\nname = "%s"\ndevice = "%s"\nbaud = 57600\ntimeout_ms = 300\nconfirm = "never"\n' \
            "$line" "$WORK/hw-$line"
        for i in $(seq 0 $((POINTS / 2 - 1))); do
            scan=60000
            [ "$i" -lt $ANIMATED ] && scan=1000
            printf '[[line.point]]\naddress = "01%05d"\nname = "p%05d"\nscan_ms = %d\n' \
                $((20001 + i)) "$i" "$scan"
        done
    done
} >"$WORK/plant.toml"
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=($GW_PID)
serving() {
    kill -0 "$GW_PID" 2>/dev/null || fail "the gateway ended: $(tail -3 "$WORK/gw.err")"
    grep -q "opcua: endpoint opc.tcp://127.0.0.1:$PORT SignAndEncrypt" "$WORK/gw.err"
}
wait_for 120 serving || fail "the OPC UA server did not start: $(tail -5 "$WORK/gw.err")"
SIDECAR=$(sed -n 's/.*started the OPC UA server .* (pid \([0-9]*\)).*/\1/p' "$WORK/gw.err" | tail -1)

# cpu_ms PID: user + system time so far.
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{print int(($14 + $15) * 1000 / hz)}' "/proc/$1/stat"; }
rss_mb() { awk '/^VmRSS/ {printf "%.0f", $2 / 1024}' "/proc/$1/status"; }

rss_before=$(rss_mb "$SIDECAR")
cpu_before=$(cpu_ms "$SIDECAR")
NODE_PATH="$MODULES" node "$HERE/opcua_bench.js" "opc.tcp://127.0.0.1:$PORT" bench a-bench-password \
    "$WORK/client-pki" $POINTS $ANIMATED $PERIOD_MS "$T0_MS" "$T1_MS" "$SECONDS_MEASURED" \
    >"$WORK/client.json" 2>"$WORK/client.err" &
CLIENT=$!
PIDS+=($CLIENT)
# Creation, then the measured seconds: the server's CPU over the measured part.
created() { grep -q 'created' "$WORK/client.err"; }
wait_for 300 created || fail "the monitored items were not created: $(tail -3 "$WORK/client.err")"
rss_created=$(rss_mb "$SIDECAR")
cpu_created=$(cpu_ms "$SIDECAR")
sleep 3  # the client lets the initial values pass before it measures
cpu_from=$(cpu_ms "$SIDECAR")
wait "$CLIENT" || fail "the client failed: $(tail -3 "$WORK/client.err")"
cpu_to=$(cpu_ms "$SIDECAR")
rss_end=$(rss_mb "$SIDECAR")

/usr/bin/python3 - "$WORK/client.json" "$rss_before" "$rss_created" "$rss_end" \
    "$((cpu_created - cpu_before))" "$((cpu_to - cpu_from))" "$SECONDS_MEASURED" <<'EOF'
import json, sys
r = [json.loads(l) for l in open(sys.argv[1]) if l.startswith('{')][-1]
rss0, rss1, rss2, cpu_create, cpu_run, secs = map(float, sys.argv[2:8])
print('RESULT kind=opcua items=%d create_ms=%d create_cpu_ms=%d rss_idle_mb=%d rss_items_mb=%d '
      'rss_end_mb=%d changes_per_s=%.0f latency_p50_ms=%s latency_p99_ms=%s latency_max_ms=%s '
      'samples=%d read_p50_ms=%s read_p99_ms=%s cpu_pct=%.0f' % (
          r['items'], r['created_ms'], cpu_create, rss0, rss1, rss2, r['changes_per_s'],
          r['latency_ms']['median'], r['latency_ms']['p99'], r['latency_ms']['max'],
          r['latency_ms']['samples'], r['from_read_ms']['median'], r['from_read_ms']['p99'],
          100 * cpu_run / 1000 / (secs + 0.0)))
EOF

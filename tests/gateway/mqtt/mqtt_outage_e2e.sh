#!/usr/bin/env bash
# The broker away and back: westnet-gateway reads a counter that westnet-sim
# animates while the test's mosquitto is stopped; once it runs again on the
# same port, every change of the meanwhile arrives once, in order, marked
# "replayed" and with the time it was read, before the newer ones. The
# subscriber keeps its session across the broker's restart (a fixed client
# id, clean session off, QoS 1, the broker's persistence in $WORK), so that
# it misses nothing whenever it reconnects.
#
#   mqtt_outage_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR   (KEEP=1 leaves its folder)
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
PYTHON=/usr/bin/python3

source "$(dirname "${BASH_SOURCE[0]}")/../../lib/scratch.sh" mqtt-outage
source "$(dirname "${BASH_SOURCE[0]}")/../../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../lib/broker.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../lib/sim.sh"

check "mosquitto accepts connections" start_broker "persistence true" "persistence_location $WORK/" "max_queued_messages 0"
PIDS+=($BROKER_PID)

# A counter one up every 250 ms, read every 50 ms: the gateway sees each value.
start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" \
    --animate 0140001=counter:250 || exit 1
PIDS+=("$SIM_PID")

HTTP_PORT=$(free_port)
cat >"$WORK/plant.toml" <<TOML
[gateway]
http = "127.0.0.1:$HTTP_PORT"
http_public_read = true
users_file = "$WORK/users"
audit_file = ""
modbus = ""
mqtt = "mqtt://127.0.0.1:$BROKER_PORT"
mqtt_republish_s = 86400
mqtt_buffer_mb = 1
mqtt_buffer_file = "$WORK/mqtt-buffer"

[[line]]
name = "plant"
device = "$WORK/hw"

[[line.point]]
address = "0140001"
name = "counter"
scan_ms = 50
TOML

: >"$WORK/got"
mosquitto_sub -p "$BROKER_PORT" -i westnet-outage-e2e -c -q 1 -t westnet/plant/counter \
    -F '%p' >>"$WORK/got" 2>/dev/null &
SUB_PID=$!
PIDS+=($SUB_PID)
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
PIDS+=($!)

metric() {
    curl -sf --max-time 5 "http://127.0.0.1:$HTTP_PORT/metrics" |
        awk -v n="$1" '$1 == n { print $2 }'
}
at_least() { local v; v=$(metric "$1"); [ -n "$v" ] && [ "${v%.*}" -ge "$2" ]; }
lines_at_least() { [ "$(wc -l <"$WORK/got")" -ge "$1" ]; }
check "live changes arrive" wait_for 30 lines_at_least 4

kill "$BROKER_PID"
wait "$BROKER_PID" 2>/dev/null
check "the gateway keeps changes while the broker is away" \
    wait_for 30 at_least westnet_mqtt_buffer_messages 8
RESTART=$(date +%s.%N)
check "mosquitto starts again on its port" restart_broker
PIDS+=($BROKER_PID)
# The subscriber reconnects by itself; one that gave up comes back with its session.
kill -0 "$SUB_PID" 2>/dev/null || {
    mosquitto_sub -p "$BROKER_PORT" -i westnet-outage-e2e -c -q 1 -t westnet/plant/counter \
        -F '%p' >>"$WORK/got" 2>/dev/null &
    PIDS+=($!)
}

drained() {
    at_least westnet_mqtt_buffer_replayed_total 8 && [ "$(metric westnet_mqtt_buffer_messages)" = 0 ]
}
check "the buffer is replayed and empty" wait_for 60 drained
REPLAYED=$(metric westnet_mqtt_buffer_replayed_total)
# Then a live change after the replayed ones.
live_after() { tail -n 1 "$WORK/got" | grep -qv '"replayed"'; }
check "live changes follow the replay" wait_for 30 live_after
check "nothing was dropped" equals "$(metric westnet_mqtt_buffer_dropped_total)" 0

"$PYTHON" - "$WORK/got" "$RESTART" "${REPLAYED%.*}" >"$WORK/verdict" <<'EOF_PY'
import datetime, json, sys
# Before its first read a point has no value yet.
msgs = [m for m in (json.loads(line) for line in open(sys.argv[1]) if line.strip())
        if m['value'] is not None]
restart = float(sys.argv[2])
replayed_total = int(sys.argv[3])
def seconds(m):
    return datetime.datetime.strptime(m['time'], '%Y-%m-%dT%H:%M:%S.%fZ').replace(
        tzinfo=datetime.timezone.utc).timestamp()
problems = []
# Every change once: the values step by one, a value repeated only back to back
# (the retained current value that closes a replay; QoS 1 may repeat a message).
values = [m['value'] for m in msgs]
steps = [b - a for a, b in zip(values, values[1:]) if b != a]
if any(s not in (1, -65535) for s in steps):
    problems.append('values skip or go back: %s' % values)
rep = [i for i, m in enumerate(msgs) if m.get('replayed')]
if len(rep) != replayed_total or len(rep) < 8:
    problems.append('%d replayed messages arrived, the gateway replayed %d' % (len(rep), replayed_total))
if rep and rep != list(range(rep[0], rep[-1] + 1)):
    problems.append('live messages among the replayed ones')
if len({msgs[i]['value'] for i in rep}) != len(rep):
    problems.append('a replayed value twice')
times = [seconds(msgs[i]) for i in rep]
if times != sorted(times) or len(set(times)) != len(times):
    problems.append('replayed times out of order')
# The times they were read, a counter's period (250 ms) apart, not the moment
# of the replay, which takes milliseconds.
if any(b - a < 0.2 for a, b in zip(times, times[1:])):
    problems.append('replayed times are not the times of the reads')
if times and min(times) >= restart:
    problems.append('no replayed change is from before the broker came back')
if not rep or rep[-1] == len(msgs) - 1:
    problems.append('no live message after the replay')
print('; '.join(problems) or 'ok: %d messages, %d replayed' % (len(msgs), len(rep)))
sys.exit(1 if problems else 0)
EOF_PY
check "each change once, in order, replayed with its own time" equals "$(cut -c1-2 "$WORK/verdict")" ok
[ "$(cut -c1-2 "$WORK/verdict")" = ok ] || { cat "$WORK/verdict" "$WORK/got" "$WORK/gw.err"; }
cat "$WORK/verdict"

summary

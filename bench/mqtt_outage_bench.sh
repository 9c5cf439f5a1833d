#!/usr/bin/env bash
# The MQTT store-and-forward buffer measured for scripts/bench: westnet-sim
# animates 50 registers as counters, each one up every 500 ms (100 changes a
# second), read by westnet-gateway as 50 word points and published to a
# mosquitto of its own; the broker is stopped for OUTAGE_S seconds, then
# started again on its port. A subscriber with a session the broker keeps
# across its restart (fixed client id, clean session off, QoS 1, persistence)
# notes every message and when it arrived. Counters make every loss visible:
# per point the values must step by one. A value the scan itself missed (a
# stall of the machine longer than a period less scan_ms) counts as lost
# too; the scan's misses show as stale messages, counted beside.
# Prints one RESULT line on stdout, everything else on stderr.
#
#   mqtt_outage_bench.sh BUILD_DIR OUTAGE_S
set -uo pipefail

BUILD=$(realpath "$1")
OUTAGE_S="$2"
PYTHON=/usr/bin/python3
POINTS=50
PERIOD_MS=500

source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/scratch.sh" mqtt-outage-bench
source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/check.sh" >/dev/null
source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/broker.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/sim.sh"
SIM="$BUILD/westnet-sim"
fail() {
    echo "mqtt_outage_bench: $*" >&2
    exit 1
}

start_broker "persistence true" "persistence_location $WORK/" "max_queued_messages 0" || fail "mosquitto did not start"
PIDS+=($BROKER_PID)

animate=()
: >"$WORK/plant.img"
for i in $(seq 1 $POINTS); do
    reg=$((40000 + i))
    echo "01$reg = 0" >>"$WORK/plant.img"
    animate+=(--animate "01$reg=counter:$PERIOD_MS")
done
start_sim --baud 57600 --image "$WORK/plant.img" --link "$WORK/hw" "${animate[@]}" ||
    fail "westnet-sim did not start"
PIDS+=("$SIM_PID")

HTTP_PORT=$(free_port)
{
    cat <<TOML
[gateway]
http = "127.0.0.1:$HTTP_PORT"
http_public_read = true
users_file = "$WORK/users"
audit_file = ""
modbus = ""
mqtt = "mqtt://127.0.0.1:$BROKER_PORT"
mqtt_republish_s = 86400
mqtt_buffer_file = "$WORK/mqtt-buffer"

[[line]]
name = "plant"
device = "$WORK/hw"
baud = 57600
TOML
    for i in $(seq 1 $POINTS); do
        printf '\n[[line.point]]\naddress = "01%d"\nname = "c%02d"\nscan_ms = 50\n' $((40000 + i)) "$i"
    done
} >"$WORK/plant.toml"

subscribe() {
    mosquitto_sub -p "$BROKER_PORT" -i westnet-outage-bench -c -q 1 -t 'westnet/plant/#' \
        -F '%U %t %p' >>"$WORK/got" 2>/dev/null &
    SUB_PID=$!
    PIDS+=($SUB_PID)
}
: >"$WORK/got"
subscribe
"$BUILD/westnet-gateway" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=($GW_PID)

metric() {
    curl -sf --max-time 5 "http://127.0.0.1:$HTTP_PORT/metrics" |
        awk -v n="$1" '$1 == n { print $2 }'
}
lines_at_least() { [ "$(wc -l <"$WORK/got")" -ge "$1" ]; }
wait_for 30 lines_at_least $((POINTS * 10)) || fail "no live messages: $(tail -3 "$WORK/gw.err")"

STOP=$(date +%s.%N)
kill "$BROKER_PID"
wait "$BROKER_PID" 2>/dev/null
# The outage lasts as long as asked: a clock, not a wait for a condition.
sleep "$OUTAGE_S"
BUFFERED=$(metric westnet_mqtt_buffer_messages)
BYTES=$(metric westnet_mqtt_buffer_bytes)
RESTART=$(date +%s.%N)
restart_broker || fail "mosquitto did not start again"
PIDS+=($BROKER_PID)
kill -0 "$SUB_PID" 2>/dev/null || subscribe
drained() {
    [ "$(metric westnet_mqtt_buffer_messages)" = 0 ] &&
        [ "$(metric westnet_mqtt_buffer_replayed_total)" != 0 ]
}
# The gateway's back-off after a minute of failed attempts: up to 30 s.
wait_for 120 drained || fail "the buffer was not replayed: $(tail -3 "$WORK/gw.err")"
REPLAYED=$(metric westnet_mqtt_buffer_replayed_total)
DROPPED=$(metric westnet_mqtt_buffer_dropped_total)
# Two more seconds of live changes after the replay, to see none is lost at the seam.
last_live() { tail -n 1 "$WORK/got" | grep -qv '"replayed"'; }
wait_for 30 last_live
sleep 2  # a span of time measured, not a wait for a condition

"$PYTHON" - "$WORK/got" "$STOP" "$RESTART" "${BUFFERED:-0}" "${BYTES:-0}" "${REPLAYED:-0}" \
    "${DROPPED:-0}" "$OUTAGE_S" <<'EOF_PY'
import collections, datetime, json, sys
path, stop, restart = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
buffered, nbytes, replayed_total, dropped, outage = sys.argv[4:9]
def read_time(m):
    return datetime.datetime.strptime(m['time'], '%Y-%m-%dT%H:%M:%S.%fZ').replace(
        tzinfo=datetime.timezone.utc).timestamp()
per_topic = collections.defaultdict(list)
replayed = []  # (arrival, read time, topic, value)
stale = 0
for line in open(path):
    arrived, topic, payload = line.rstrip('\n').split(' ', 2)
    if '/station/' in topic:
        continue
    m = json.loads(payload)
    if m.get('value') is None:
        continue
    stale += m['quality'] != 'good'
    per_topic[topic].append(m['value'])
    if m.get('replayed'):
        replayed.append((float(arrived), read_time(m), topic, m['value'], m['quality']))
lost = duplicates = backwards = 0
for values in per_topic.values():
    for a, b in zip(values, values[1:]):
        if b == a:
            duplicates += 1
        elif b > a:
            lost += b - a - 1
        else:
            backwards += 1
# In order: as read, whatever the point (the buffer keeps one order for all).
order = [r[1] for r in replayed]
out_of_order = sum(1 for a, b in zip(order, order[1:]) if b < a)
# The same message twice (a change of quality alone is another message).
seen = collections.Counter((r[1], r[2], r[3], r[4]) for r in replayed)
catch_up = max(r[0] for r in replayed) - restart if replayed else float('nan')
replay_s = max(r[0] for r in replayed) - min(r[0] for r in replayed) if replayed else float('nan')
print('RESULT kind=mqtt_outage outage_s=%s changes_per_s=100 buffered=%s buffer_bytes=%s '
      'replayed=%s received_replayed=%d replayed_twice=%d dropped=%s lost=%d backwards=%d '
      'out_of_order=%d not_good=%d catch_up_s=%.2f replay_s=%.3f' % (
          outage, buffered, nbytes, replayed_total, len(replayed),
          sum(1 for c in seen.values() if c > 1), dropped, lost, backwards, out_of_order,
          stale, catch_up, replay_s))
EOF_PY

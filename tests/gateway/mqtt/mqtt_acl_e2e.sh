#!/usr/bin/env bash
# The MQTT access control of docs/gateway.md at work: a mosquitto of the
# test's own with a password file and examples/mosquitto/westnet.acl, the
# gateway logged in as westnet-gateway on the example plant against
# westnet-sim. The gateway's values reach readers; a /set of the named
# writer is carried out; a /set of an anonymous client or of a user the ACL
# lets only read never reaches the gateway, nor does a value forged by
# anyone but the gateway.
#
#   mqtt_acl_e2e.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR   (KEEP=1 leaves its folder)
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")

source "$(dirname "${BASH_SOURCE[0]}")/../../lib/scratch.sh" mqtt-acl-e2e
source "$(dirname "${BASH_SOURCE[0]}")/../../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../lib/broker.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../lib/sim.sh"

# --- the broker: users, their passwords, the ACL ------------------------------
mosquitto_passwd -c -b "$WORK/passwd" westnet-gateway gw-secret >/dev/null 2>&1
mosquitto_passwd -b "$WORK/passwd" operator op-secret >/dev/null 2>&1
mosquitto_passwd -b "$WORK/passwd" viewer view-secret >/dev/null 2>&1
mosquitto_passwd -b "$WORK/passwd" stranger str-secret >/dev/null 2>&1
chmod 644 "$WORK/passwd"
BROKER_PORT=$(free_port)
{
    echo "listener $BROKER_PORT 127.0.0.1"
    echo "allow_anonymous true"
    echo "password_file $WORK/passwd"
    echo "acl_file $EXAMPLES/mosquitto/westnet.acl"
    echo "persistence false"
    [ "$(id -u)" -eq 0 ] && echo "user root"
} >"$WORK/mosquitto.conf"
mosquitto -c "$WORK/mosquitto.conf" 2>"$WORK/mosquitto.err" &
PIDS+=($!)
check "mosquitto accepts connections" wait_for 30 broker_accepts
PORT=$BROKER_PORT
pub() { mosquitto_pub -p "$PORT" -q 1 "$@"; }

start_sim --baud 9600 --image "$EXAMPLES/plant.img" --link "$WORK/hw" --dump "$WORK/dump.img"
PIDS+=("$SIM_PID")
check "westnet-sim is ready" equals "${SIM_SAID%% *}" "device:"

echo gw-secret >"$WORK/gw.secret"
chmod 600 "$WORK/gw.secret"
sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = ""#' \
    -e 's#^modbus = .*#modbus = ""#' \
    -e "s#^mqtt = .*#mqtt = \"mqtt://127.0.0.1:$PORT\"\\nmqtt_username = \"westnet-gateway\"\\nmqtt_password_file = \"$WORK/gw.secret\"#" \
    "$EXAMPLES/gateway.toml" >"$WORK/plant.toml"
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=($GW_PID)

# --- the gateway publishes, anyone reads ---------------------------------------
value_is() {
    timeout 5 mosquitto_sub -p "$PORT" -t westnet/plant/pump/flow-setpoint -C 1 -W 3 \
        2>/dev/null | grep -qF "\"value\": $1,"
}
check "an anonymous reader gets the gateway's value" wait_for 60 value_is 1234
online() { [ "$(timeout 5 mosquitto_sub -p "$PORT" -t westnet/status -C 1 -W 3 2>/dev/null)" = online ]; }
check "the gateway says online" wait_for 20 online

# Everything on the point's topics, as a reader sees it: the results and
# every value message, the forged ones included if the broker let them by.
mosquitto_sub -p "$PORT" -u viewer -P view-secret -t 'westnet/plant/+/+/result' -t 'westnet/ready' \
    -t westnet/plant/pump/flow-setpoint -v >"$WORK/results" &
PIDS+=($!)
subscribed() {
    pub -u westnet-gateway -P gw-secret -t westnet/ready -m 1
    grep -q '^westnet/ready' "$WORK/results"
}
check "the results' subscriber is ready" wait_for 10 subscribed

# --- writes: only the named writer's arrive -------------------------------------
# The refused writers clear the alarm, the writer sets the flow; each
# mosquitto_pub waits for the broker's PUBACK, and a write that got through
# would be carried out, and answered, ahead of the writer's.
ALARM=westnet/plant/rtu/alarm/set
pub -t "$ALARM" -m 0                                   # anonymous
pub -u viewer -P view-secret -t "$ALARM" -m 0          # may only read
pub -u stranger -P str-secret -t "$ALARM" -m 0         # in the password file, not in the ACL
pub -u operator -P wrong -t "$ALARM" -m 0 2>/dev/null  # a wrong password is no login
# Values forged on the gateway's topic, retained, by everyone but the gateway.
pub -r -t westnet/plant/pump/flow-setpoint -m '{"value": 9999, "quality": "good"}'
pub -r -u operator -P op-secret -t westnet/plant/pump/flow-setpoint -m '{"value": 9998, "quality": "good"}'
pub -u operator -P op-secret -t westnet/plant/pump/flow-setpoint/set -m 4321
answered() { grep -q '^westnet/plant/pump/flow-setpoint/result .*"result": "ok"' "$WORK/results"; }
check "the writer's /set is answered ok" wait_for 20 answered
check "no other write reached the gateway" lacks "$WORK/results" "westnet/plant/rtu/alarm/result"
dumped() {
    kill -USR1 "$SIM_PID"
    grep -qE '^0140001 = 4321(,|$)' "$WORK/dump.img" 2>/dev/null
}
check "the writer's value landed in the image" wait_for 10 dumped
check "the alarm is still set" grep -qE '^0500001 = 65535(,|$)' "$WORK/dump.img"
check "the gateway logged one write" equals "$(grep -c 'mqtt: write to' "$WORK/gw.err")" 1
check "the gateway publishes the written value" wait_for 20 value_is 4321
check "no reader saw a forged value" lacks "$WORK/results" '"value": 999'
retained_is_gateways() {
    timeout 5 mosquitto_sub -p "$PORT" -t westnet/plant/pump/flow-setpoint --retained-only -C 1 \
        -W 3 2>/dev/null | grep -qF '"value": 4321,'
}
check "and the retained value is the gateway's" retained_is_gateways

# --- a gateway without its password does not get in -----------------------------
echo wrong >"$WORK/bad.secret"
chmod 600 "$WORK/bad.secret"
sed -e "s#$WORK/gw.secret#$WORK/bad.secret#" -e 's#^mqtt_prefix = .*#mqtt_prefix = "westnet"\nmqtt_client_id = "second-gateway"#' \
    "$WORK/plant.toml" >"$WORK/bad.toml"
sed -i "s#^device = .*#device = \"$WORK/none\"#" "$WORK/bad.toml"
"$GATEWAY" "$WORK/bad.toml" 2>"$WORK/bad.err" &
BAD_PID=$!
PIDS+=($BAD_PID)
refused() { grep -q 'mqtt: .*refused\|not authori' "$WORK/bad.err"; }
check "a gateway with a wrong password is refused" wait_for 20 refused
[ $? -eq 0 ] || { cat "$WORK/bad.err"; }

summary
status=$?
[ $status -eq 0 ] || { cat "$WORK/gw.err" "$WORK/mosquitto.err" "$WORK/results"; }
exit $status

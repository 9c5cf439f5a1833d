#!/usr/bin/env bash
# The gateway's Modbus TCP front end, measured for scripts/bench: prints
# RESULT lines on stdout, everything else on stderr.
#
#   1. cached FC 3 reads of 10 registers by 1, 16 and 64 clients over
#      loopback (modbus_load), side by side with modbus_bare, a bare
#      libmodbus server over a plain mapping (the floor), in turns;
#   2. read-through FC 3 of 64 registers that no point covers, against
#      westnet-sim paced at 9600 baud 8O2.
#
#   modbus_bench.sh BUILD_DIR EXAMPLES_DIR SECONDS READS
set -uo pipefail

BUILD=$(realpath "$1")
EXAMPLES=$(realpath "$2")
SECONDS_EACH="$3"
READS="$4"

source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/scratch.sh" modbus-bench
source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/check.sh"  # wait_for
source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/sim.sh"
SIM="$BUILD/westnet-sim"
fail() {
    echo "modbus_bench: $*" >&2
    exit 1
}


# start_line NAME ARGS...: a simulator whose device is linked as $WORK/NAME.
start_line() {
    local name=$1
    shift
    start_sim --log "$WORK/$name.err" "$@" || fail "westnet-sim did not start"
    PIDS+=("$SIM_PID")
    ln -s "$SIM_DEVICE" "$WORK/$name"
}

ready() { grep -qs 'modbus: listening' "$WORK/$1.log" && grep -qs 'http: listening' "$WORK/$1.log"; }

# start_gateway NAME: westnet-gateway on $WORK/NAME.toml; sets MODBUS_PORT
# and HTTP_PORT from its log.
start_gateway() {
    "$BUILD/westnet-gateway" "$WORK/$1.toml" 2>"$WORK/$1.log" &
    PIDS+=($!)
    wait_for 30 ready "$1" || fail "the gateway did not start: $(cat "$WORK/$1.log")"
    MODBUS_PORT=$(sed -n 's/.*modbus: listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/$1.log")
    HTTP_PORT=$(sed -n 's#.*http: listening on http://127\.0\.0\.1:\([0-9]*\)/.*#\1#p' "$WORK/$1.log")
}

metrics() {
    local fd
    exec {fd}<>"/dev/tcp/127.0.0.1/$HTTP_PORT" || return 1
    printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&"$fd"
    cat <&"$fd"
    exec {fd}<&-
}
point_good() { metrics | grep -q "^westnet_point_good{.*point=\"$1\".*} 1"; }
series() { metrics | sed -n "s/^$1 \\([0-9.e+]*\\)\$/\\1/p" | head -1; }

plant() { # NAME BAUD POINTS...: a one-line plant for the simulator NAME
    local name=$1 baud=$2
    shift 2
    {
        printf '[gateway]\nhttp = "127.0.0.1:0"\nmodbus = "127.0.0.1:0"\nmqtt = ""\n'
        printf 'modbus_max_clients = 128\n\n[[line]]\nname = "bench"\n'
        printf 'device = "%s"\nbaud = %s\nformat = "8O2"\n' "$WORK/$name" "$baud"
        printf '%s\n' "$@"
    } >"$WORK/$name.toml"
}

# --- 1. cached reads -----------------------------------------------------------
start_line cached --image "$EXAMPLES/plant.img" --baud 9600 --format 8O2
# Scanned once a second, with a reply time-out to match: the clients load
# the CPUs, and a late reply must not make the value stale.
plant cached 9600 'timeout_ms = 1000' '[[line.point]]' 'address = "0140001"' 'count = 10' \
    'name = "ten"'
start_gateway cached
wait_for 30 point_good ten || fail "the cache never became good"
requests_before=$(series 'westnet_modbus_requests_total{function="3"}')

"$BUILD/modbus_bare" >"$WORK/bare.port" 2>/dev/null &
PIDS+=($!)
wait_for 10 grep -qs '^port: ' "$WORK/bare.port" || fail "modbus_bare did not start"
BARE_PORT=$(sed -n 's/^port: //p' "$WORK/bare.port")

for clients in 1 16 64; do
    "$BUILD/modbus_load" --port "$BARE_PORT" --address 40000 --count 10 --clients $clients \
        --seconds "$SECONDS_EACH" --expect 40000 --label bare --kind modbus_cached ||
        fail "the bare server's run failed"
    "$BUILD/modbus_load" --port "$MODBUS_PORT" --unit 1 --address 40000 --count 10 \
        --clients $clients --seconds "$SECONDS_EACH" --expect 1234 --label gateway \
        --kind modbus_cached || fail "the gateway's run failed"
done
# The counts reach the registry within a quarter of a second.
sleep 0.5
requests=$(series 'westnet_modbus_requests_total{function="3"}')
cache=$(series 'westnet_modbus_cache_reads_total{function="3"}')
echo "RESULT kind=modbus_cache requests=$(awk -v a="$requests" -v b="${requests_before:-0}" 'BEGIN { print a - b }') cache_reads=${cache:-0}"

# --- 2. read-through -------------------------------------------------------------
# One word point that is scanned once a minute keeps the line idle; registers
# 41000-41063 belong to no point, so every read of them goes to the line.
start_line paced --image "$EXAMPLES/plant.img" --baud 9600 --format 8O2
plant paced 9600 '[[line.point]]' 'address = "0240001"' 'name = "one"' 'scan_ms = 60000'
start_gateway paced
wait_for 30 point_good one || fail "the paced line never answered"
"$BUILD/modbus_load" --port "$MODBUS_PORT" --unit 2 --address 41000 --count 64 --clients 1 \
    --requests "$READS" --warmup 1 --expect 0 --label gateway --kind modbus_readthrough ||
    fail "the read-through run failed"

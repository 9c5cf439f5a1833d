#!/usr/bin/env bash
# westnet-gateway as systemd runs it, without systemd: the test binds the
# notification socket itself (NOTIFY_SOCKET, WATCHDOG_USEC) and plays the
# signals. Checked: READY=1 once one line is open and the other found down;
# WATCHDOG=1 keeps coming, stops while a line's worker is stuck in a write
# that its device no longer takes (output stopped on the pseudo-terminal, as
# a wedged adapter does) and comes back once it moves; log lines with their
# journal priority; SIGHUP with a good file keeps the unchanged line (no
# second open, its counters and values kept) and serves the new plant;
# SIGHUP with a bad file is refused and the old plant served; SIGTERM with
# writes queued from every front end (HTTP, Modbus TCP, MQTT) answers them
# all, lands them in the image and exits 0; and
# `systemd-analyze verify` on the unit, where it exists.
#
#   gateway_service.sh WESTNET_GATEWAY WESTNET_SIM EXAMPLES_DIR UNIT_FILE MANUAL_PAGE
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
EXAMPLES=$(realpath "$3")
UNIT=$(realpath "$4")
MANPAGE=$(realpath "$5")
PYTHON=/usr/bin/python3

source "$(dirname "${BASH_SOURCE[0]}")/../lib/scratch.sh" gateway-service

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

# remember PID: stopped by the cleanup.
remember() { PIDS+=("$1"); }

# The notification socket: each datagram's lines, with the monotonic time
# they came at, appended to $WORK/notify.log.
"$PYTHON" - "$WORK/notify" "$WORK/notify.log" <<'EOF' &
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], 'a', buffering=1) as log:
    while True:
        for line in s.recv(65536).decode(errors='replace').split('\n'):
            if line:
                log.write('%.3f %s\n' % (time.monotonic(), line))
EOF
remember $!
listening_socket() { [ -S "$WORK/notify" ]; }
wait_for 10 listening_socket || {
    echo "the notification socket did not come up" >&2
    exit 1
}
notified() { grep -c -- " $1\$" "$WORK/notify.log" 2>/dev/null || true; }

# start_line NAME ARGS...: a simulator on the link $WORK/NAME; its pid in SIM_PID.
start_line() {
    local name="$1"
    shift
    # Paced as the driver's line runs (9600 baud, the simulator's default 8O2):
    # replies come byte by byte, as on a real highway.
    start_sim --log "$WORK/$name.err" --baud 9600 --image "$EXAMPLES/plant.img" \
        --link "$WORK/$name" --dump "$WORK/$name.img" "$@" || exit 1
    remember "$SIM_PID"
}

# The example plant on the simulator, HTTP and Modbus TCP on ports the system
# chooses, MQTT off, and a second line on a device that does not exist.
# Writes need an operator: a token of the test's own.
TOKEN=$("$GATEWAY" --users "$WORK/users" token add service --role operator 2>/dev/null)
plant_file() { # plant_file TIMEOUT_MS SPARE_DEVICE [EXTRA POINT NAME]
    sed -e "s#^device = .*#device = \"$WORK/hw\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
        -e 's#^modbus = .*#modbus = "127.0.0.1:0"#' -e 's#^mqtt = .*#mqtt = ""#' \
        -e "s#^timeout_ms = .*#timeout_ms = $1#" \
        -e "s#^users_file = .*#users_file = \"$WORK/users\"#" \
        -e "s#^audit_file = .*#audit_file = \"$WORK/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$WORK/history.db\"#" "$EXAMPLES/gateway.toml"
    printf '\n[[line]]\nname = "spare"\ndevice = "%s"\n' "$2"
    printf '[[line.point]]\naddress = "0740001"\nname = "%s"\n' "${3:-spare/one}"
}

port() { sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/gw.err" | tail -1; }
api() { curl -sf --max-time 10 "http://127.0.0.1:$(port)$1"; }
json() { "$PYTHON" -c "import json, sys; d = json.load(sys.stdin); sys.exit(0 if ($1) else 1)"; }
status_is() { api /api/status | json "$1"; }
value_of() { api /api/status | "$PYTHON" -c "import json, sys; d = json.load(sys.stdin); print($1)"; }
all_good() { api /api/points | json "all(p['quality'] == 'good' for p in d['points'] if p['line'] == 'plant')"; }
logged() { grep -qF -- "$1" "$WORK/gw.err"; }
# order FIRST SECOND: the log has FIRST on an earlier line than SECOND.
order() {
    local a b
    a=$(grep -nF -- "$1" "$WORK/gw.err" | head -1 | cut -d: -f1)
    b=$(grep -nF -- "$2" "$WORK/gw.err" | head -1 | cut -d: -f1)
    [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ]
}

# hold NAME: the test's own end of the simulator's pseudo-terminal at
# $WORK/NAME, opened before the gateway's; it stops and restarts the
# terminal's output on SIGUSR1 and SIGUSR2 (as an adapter whose writes no
# longer drain) and notes the monotonic time of each in $WORK/NAME.flow.
# Its pid in FLOW_PID.
hold() {
    "$PYTHON" - "$(readlink -f "$WORK/$1")" "$WORK/$1.flow" <<'EOF' &
import os, signal, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
log = open(sys.argv[2], 'a', buffering=1)
def flow(action, name):
    termios.tcflow(fd, action)
    log.write('%s %.3f\n' % (name, time.monotonic()))
signal.signal(signal.SIGUSR1, lambda *_: flow(termios.TCOOFF, 'stopped'))
signal.signal(signal.SIGUSR2, lambda *_: flow(termios.TCOON, 'started'))
log.write('holding\n')
while True:
    signal.pause()
EOF
    FLOW_PID=$!
    remember "$FLOW_PID"
    wait_for 10 grep -qs holding "$WORK/$1.flow" || {
        echo "could not hold the terminal $WORK/$1" >&2
        exit 1
    }
}

start_line hw
hold hw
plant_file 50 "$WORK/absent" >"$WORK/plant.toml"
: >"$WORK/gw.err"
# JOURNAL_STREAM names the log file, as systemd names the journal's stream.
NOTIFY_SOCKET="$WORK/notify" WATCHDOG_USEC=1000000 \
    JOURNAL_STREAM="$(stat -c '%d:%i' "$WORK/gw.err")" \
    "$GATEWAY" "$WORK/plant.toml" 2>>"$WORK/gw.err" &
GW_PID=$!
remember "$GW_PID"

# --- ready, and fed --------------------------------------------------------------
ready() { [ "$(notified READY=1)" -ge 1 ]; }
check "READY=1 arrives" wait_for 30 ready
check "after the line opened" order "line plant: open on" "ready: 2 lines (1 up, 1 down)"
check "and after the other was found down" order "line spare: down: cannot open" "ready:"
check "the log carries journal priorities" \
    bash -c "grep -q '^<6>info: ready' '$WORK/gw.err' && grep -q '^<3>error: line spare: down' '$WORK/gw.err'"
fed() { [ "$(notified WATCHDOG=1)" -ge "$1" ]; }
check "WATCHDOG=1 keeps coming" wait_for 30 fed 4
check "every point of the line becomes good" wait_for 30 all_good

# --- a worker stuck in a write ------------------------------------------------------
kill -USR1 "$FLOW_PID"
check "a worker stuck in one command is noticed" wait_for 60 logged "line plant: stuck for"
check "... said to starve the watchdog" logged "the watchdog is no longer fed"
stuck_told() { grep -q 'STATUS=line plant: stuck for' "$WORK/notify.log"; }
check "... and told to systemd" wait_for 10 stuck_told
# The fault lasts four watchdog intervals past its discovery, so that the
# watchdog's silence can be seen.
sleep 2
kill -USR2 "$FLOW_PID"
check "it moves again once the device takes output" wait_for 60 logged \
    "line plant: its worker moves again"
fed_after_release() {
    "$PYTHON" - "$WORK/notify.log" "$WORK/hw.flow" <<'EOF'
import sys
started = [float(l.split()[1]) for l in open(sys.argv[2]) if l.startswith('started')][-1]
feeds = [float(l.split()[0]) for l in open(sys.argv[1]) if l.split()[1] == 'WATCHDOG=1']
sys.exit(0 if any(t > started for t in feeds) else 1)
EOF
}
check "WATCHDOG=1 comes again" wait_for 30 fed_after_release
# The watchdog's longest silence: from no sooner than the 4.3 s a command of
# this line may take at worst after output stopped, over the whole time the
# worker was known stuck, until output started again.
check "WATCHDOG=1 stopped while the worker was stuck, and only then" \
    "$PYTHON" - "$WORK/notify.log" "$WORK/hw.flow" <<'EOF'
import sys
flow = dict(l.split() for l in open(sys.argv[2]) if l[0] in 'st')
stopped, started = float(flow['stopped']), float(flow['started'])
lines = [l.split(None, 1) for l in open(sys.argv[1])]
feeds = [float(t) for t, m in lines if m.strip() == 'WATCHDOG=1']
told = [float(t) for t, m in lines if m.startswith('STATUS=line plant: stuck')][0]
gap, begin, end = max((b - a, a, b) for a, b in zip(feeds, feeds[1:]))
print('  longest silence %.1f s: from %.1f s after output stopped to %.1f s after it started'
      % (gap, begin - stopped, end - started))
sys.exit(0 if begin - stopped > 3.8 and begin <= told and end >= started else 1)
EOF
check "every point is good again" wait_for 60 all_good

# --- SIGHUP with a changed comment: clients stay connected -------------------------
# A reload that changes no front end's settings keeps its clients: the same
# HTTP keep-alive connection and Modbus TCP connection answer before and after.
modbus_port() { sed -n 's#.*modbus: listening on 127.0.0.1:\([0-9]*\) .*#\1#p' "$WORK/gw.err" | tail -1; }
"$PYTHON" "$(dirname "$0")/held_clients.py" "$(port)" "$(modbus_port)" "$WORK/held.ready" \
    "$WORK/held.go" >"$WORK/held.out" 2>&1 &
HELD_PID=$!
check "two clients connected and answered" wait_for 30 test -e "$WORK/held.ready"
echo "# a comment added by the test" >>"$WORK/plant.toml"
reloads=$(grep -c "SIGHUP: .* read again" "$WORK/gw.err")
kill -HUP "$GW_PID"
reloaded() { [ "$(grep -c "SIGHUP: .* read again" "$WORK/gw.err")" -gt "$reloads" ]; }
check "the commented file is read again" wait_for 30 reloaded
check "... and every front end kept its clients" logged "kept with their clients: http, modbus, history)"
touch "$WORK/held.go"
wait "$HELD_PID"
check "the same HTTP and Modbus connections answer after the reload" equals "$?" 0
cat "$WORK/held.out"

# --- SIGHUP with a good file ------------------------------------------------------
commands_before=$(value_of "d['lines'][0]['counts']['commands']")
reads_before=$(api /api/points/plant/rtu/counter | "$PYTHON" -c "import json, sys; print(json.load(sys.stdin)['reads'])")
plant_file 50 "$WORK/absent-too" spare/renamed >"$WORK/plant.toml"
kill -HUP "$GW_PID"
check "SIGHUP reads the file again" wait_for 30 logged \
    "lines kept: plant; restarted: spare; added: none; removed: none"
check "RELOADING=1, then READY=1" bash -c "grep -A2 RELOADING=1 '$WORK/notify.log' | grep -q READY=1"
check "the unchanged line was not opened again" equals "$(grep -c 'line plant: open on' "$WORK/gw.err")" 1
check "its counters go on from where they were" \
    status_is "d['lines'][0]['counts']['commands'] >= $commands_before and d['lines'][0]['reopens'] == 0"
check "its values were kept" bash -c "api() { curl -sf --max-time 10 \"http://127.0.0.1:$(port)\$1\"; }; \
    api /api/points/plant/rtu/counter | $PYTHON -c \"import json, sys; p = json.load(sys.stdin); \
    sys.exit(0 if p['reads'] >= $reads_before and p['quality'] == 'good' else 1)\""
check "the changed line opens its new device" wait_for 30 logged "cannot open $WORK/absent-too"
check "the front ends serve the new plant" bash -c "curl -sf --max-time 10 \
    http://127.0.0.1:$(port)/api/points/spare/spare/renamed >/dev/null"
check "Modbus TCP serves again after the reload" bash -c "mbpoll -m tcp -p $(modbus_port) -a 1 \
    -r 40001 -c 1 -1 127.0.0.1 2>&1 | grep -q '^\[40001\]:[[:space:]]*1234\$'"

# --- SIGHUP with a bad file --------------------------------------------------------
good_port=$(port)
sed -i 's/^baud = 9600/baud = 12345/' "$WORK/plant.toml"
kill -HUP "$GW_PID"
check "a bad file is refused" wait_for 30 logged "the file is refused, the running plant stays"
check "... with its errors in the log" grep -qE "plant.toml:[0-9]+: line.baud: 12345 is not a rate" "$WORK/gw.err"
check "the running plant is still served" bash -c "curl -sf --max-time 10 \
    http://127.0.0.1:$good_port/api/points/spare/spare/renamed >/dev/null"
check "... and still scanned" wait_for 30 all_good
check "READY=1 again after the refusal" equals "$(notified RELOADING=1)|$(notified READY=1)" "3|4"

# --- SIGTERM with writes queued ---------------------------------------------------------
kill -TERM "$GW_PID"
wait "$GW_PID"
check "SIGTERM ends the first run with 0" equals $? 0
check "STOPPING=1 was sent" equals "$(notified STOPPING=1)" 1

# A second run, Modbus TCP and MQTT (a mosquitto of the test's own on a free
# port) on too. Writes from each front end queue behind a scan stuck in the
# driver (output stopped again), the SIGTERM comes, and only then does the
# line move again: well within the 15.7 s a command of this line may take.
kill "$SIM_PID" "$FLOW_PID"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/broker.sh"
check "the test's broker accepts connections" start_broker
remember "$BROKER_PID"
broker=$BROKER_PORT
mosquitto_sub -p "$broker" -t 'westnet/plant/+/+/result' -t 'test/ready' -v >"$WORK/results" 2>/dev/null &
remember $!
subscribed() {
    mosquitto_pub -p "$broker" -t test/ready -m 1 2>/dev/null
    grep -q '^test/ready' "$WORK/results"
}
check "... and its subscriber is ready" wait_for 30 subscribed
start_line slow --turnaround 100
hold slow
sed -e "s#\"$WORK/hw\"#\"$WORK/slow\"#" -e 's/^timeout_ms = 50/timeout_ms = 1000/' \
    -e 's/^baud = 12345/baud = 9600/' -e "s#^mqtt = .*#mqtt = \"mqtt://127.0.0.1:$broker\"#" \
    "$WORK/plant.toml" >"$WORK/slow.toml"
: >"$WORK/gw.err"
"$GATEWAY" "$WORK/slow.toml" 2>>"$WORK/gw.err" &
GW_PID=$!
remember "$GW_PID"
check "the second run serves" wait_for 30 logged "ready:"
check "and reads its points" wait_for 30 all_good
check "and publishes them" wait_for 30 bash -c "timeout 5 mosquitto_sub -p $broker -t westnet/status -C 1 -W 3 | grep -qx online"
kill -USR1 "$FLOW_PID"
# Its next scan sticks: a call that runs longer than a good command's 0.2 s.
check "a scan sticks in the driver" wait_for 30 status_is "d['lines'][0]['command_seconds'] > 0.5"
curl -s --max-time 60 -o /dev/null -w '%{http_code}' -X PUT -d 777 -H "Authorization: Bearer $TOKEN" \
    "http://127.0.0.1:$(port)/api/points/plant/pump/flow-setpoint" >"$WORK/http.put" &
# pump/run-command, register 00001 of station 1: unit 1, mbpoll's reference 1.
(
    mbpoll -m tcp -p "$(modbus_port)" -a 1 -r 1 -o 10 -1 127.0.0.1 4242 >"$WORK/mbpoll.out" 2>&1
    echo $? >"$WORK/modbus.put"
) &
mosquitto_pub -p "$broker" -q 1 -t westnet/plant/rtu/alarm/set -m 1
check "three writes wait in the line's queue" wait_for 30 status_is "d['lines'][0]['queued'] == 3"
kill -TERM "$GW_PID"
check "the gateway takes the SIGTERM" wait_for 30 logged "SIGTERM: stopping"
kill -USR2 "$FLOW_PID"
wait "$GW_PID"
check "SIGTERM with writes queued exits 0" equals $? 0
answered() { [ -s "$WORK/http.put" ] && [ -s "$WORK/modbus.put" ] && grep -q '^westnet/plant/rtu/alarm/result' "$WORK/results"; }
wait_for 30 answered
check "the HTTP write was answered 200" equals "$(cat "$WORK/http.put")" 200
check "the Modbus write was answered" bash -c "[ \"\$(cat '$WORK/modbus.put')\" = 0 ] && grep -q 'Written 1 references' '$WORK/mbpoll.out'"
check "the MQTT write's result was published: ok" \
    bash -c "grep '^westnet/plant/rtu/alarm/result' '$WORK/results' | grep -qF '\"result\": \"ok\"'"
dumped() {
    kill -USR1 "$SIM_PID"
    grep -qE '^0140001 = 777([^0-9]|$)' "$WORK/slow.img" 2>/dev/null &&
        grep -qE '^0100001 = 4242([^0-9]|$)' "$WORK/slow.img" &&
        grep -qE '^0500001 = 65535([^0-9]|$)' "$WORK/slow.img"
}
check "every queued write landed in the image" wait_for 10 dumped

# --- the unit --------------------------------------------------------------------------
if command -v systemd-analyze >/dev/null; then
    # The unit as built, but for the binary it starts: the one under test
    # (verify wants it there), and its manual page where man finds it.
    mkdir -p "$WORK/man/man1"
    cp "$MANPAGE" "$WORK/man/man1/"
    sed "s#^ExecStart=[^ ]*#ExecStart=$GATEWAY#" "$UNIT" >"$WORK/westnet-gateway.service"
    verify() {
        local out
        out=$(MANPATH="$WORK/man" systemd-analyze verify "$WORK/westnet-gateway.service" 2>&1)
        [ -z "$out" ] || {
            echo "$out" | sed 's/^/  /'
            return 1
        }
    }
    check "systemd-analyze verify finds nothing wrong with the unit" verify
else
    echo "skip - systemd-analyze is not installed: the unit is not verified"
fi

summary

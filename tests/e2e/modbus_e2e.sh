#!/usr/bin/env bash
# End to end: Modbus TCP clients nobody here wrote (Debian's mbpoll and
# python3-pymodbus) read and write through westnet-gateway, which scans the
# example plant from westnet-sim; every write is checked in the simulator's
# own image (--dump), every read against the image the simulator started
# from.
#
#   modbus_e2e.sh WESTNET_GATEWAY WESTNET_SIM PLANT_IMAGE PLANT_FILE
set -u

GATEWAY=$(realpath "$1")
SIM=$(realpath "$2")
IMAGE=$(realpath "$3")
PLANT=$(realpath "$4")
PYTHON=/usr/bin/python3  # Debian's, with pymodbus

source "$(dirname "${BASH_SOURCE[0]}")/../lib/scratch.sh" modbus-e2e

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

for tool in mbpoll "$PYTHON"; do
    command -v "$tool" >/dev/null || {
        echo "modbus_e2e: $tool is missing (scripts/test installs it)" >&2
        exit 1
    }
done


cd "$WORK" || exit 1

# The simulator, reachable through a short name in the work folder.
# Paced as the driver's line runs (9600 baud, the simulator's default 8O2):
# replies come byte by byte, as on a real highway.
start_sim --baud 9600 --image "$IMAGE" --dump "$WORK/dump.img" || exit 1
PIDS+=("$SIM_PID")
ln -s "$SIM_DEVICE" "$WORK/hw"

# The example plant with the simulator's line, Modbus on a free port, the
# other front ends off, and one more station that nobody answers (09).
sed -e 's|^device = .*|device = "hw"|' \
    -e 's|^http = .*|http = ""|' -e 's|^mqtt = .*|mqtt = ""|' \
    -e 's|^modbus = .*|modbus = "127.0.0.1:0"|' \
    -e "s|^audit_file = .*|audit_file = \"$WORK/audit.jsonl\"|" -e "s|^history = .*|history = \"sqlite:$WORK/history.db\"|" "$PLANT" >"$WORK/plant.toml"
cat >>"$WORK/plant.toml" <<'EOF'

[[line.point]]
address = "0940001"
name = "silent/word"
EOF

"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gateway.log" &
PIDS+=($!)
GATEWAY_PID=$!
listening() { grep -q 'modbus: listening on 127.0.0.1:' "$WORK/gateway.log"; }
if ! wait_for 30 listening; then
    echo "the gateway did not start:" >&2
    cat "$WORK/gateway.log" >&2
    exit 1
fi
PORT=$(sed -n 's/.*modbus: listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/gateway.log" | head -1)

# mb OPTIONS... [-- VALUES...]: one mbpoll run (values to write go after
# the host); its output in $WORK/out.
mb() {
    local options=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    [ $# -gt 0 ] && shift
    mbpoll -m tcp -p "$PORT" -o 5 -1 "${options[@]}" 127.0.0.1 "$@" >"$WORK/out" 2>&1
}
# value REF: the value mbpoll printed for reference REF.
value() { sed -n "s/^\[$1\]:[[:space:]]*\(-\?[0-9]*\).*/\1/p" "$WORK/out" | head -1; }
# dumped ADDRESS: the simulator's current value of ADDRESS, the first of a
# run in its dump ("" for zero). The dump is renamed into place whole.
dumped() {
    rm -f "$WORK/dump.img"
    kill -USR1 "$SIM_PID"
    wait_for 10 test -f "$WORK/dump.img" || return 1
    sed -n "s/^$1 = \([0-9]*\).*/\1/p" "$WORK/dump.img" | head -1
}
dump_shows() { [ "$(dumped "$1")" = "$2" ]; }

# --- mbpoll ------------------------------------------------------------------
# The issue's own command: 40001-40010 of station 1. 40001 and 40002 are
# points; the rest come with them in one read through the line.
mb -a 1 -r 40001 -c 10
check "mbpoll reads station 1" equals "$?" 0
check "40001 is the image's 1234" equals "$(value 40001)" 1234
check "40002 is 0x00FF" equals "$(value 40002)" 255
check "40010 is the first tank level" equals "$(value 40010)" 100

mb -a 2 -r 40001 -c 64
check "a 64-word block of station 2" equals "$(value 40001),$(value 40032),$(value 40064)" 1,32,64

mb -a 1 -r 40001 -- 4321
check "mbpoll writes a writable point" equals "$?" 0
check "the write is in the station's image" wait_for 10 dump_shows 0140001 4321

mb -a 1 -r 40010 -- 7
check "a point not writable: refused" contains "$WORK/out" "Illegal data address"
check "and the station keeps its value" equals "$(dumped 0140010)" 100

mb -a 1 -t 0 -r 2 -c 1
check "coil 1 (bit 1 of 40002) reads 1" equals "$(value 2)" 1

# --- pymodbus ----------------------------------------------------------------
cat >"$WORK/client.py" <<'EOF'
import sys
from pymodbus.client import ModbusTcpClient

port, what = int(sys.argv[1]), sys.argv[2]
client = ModbusTcpClient("127.0.0.1", port=port, timeout=10)
if not client.connect():
    sys.exit("cannot connect")

def show(r):
    if r.isError():
        print("exception %02X" % getattr(r, "exception_code", 0xFF))
    elif hasattr(r, "registers"):
        print(" ".join(str(v) for v in r.registers))
    elif hasattr(r, "bits"):
        print(" ".join(str(int(b)) for b in r.bits[:int(sys.argv[4])]))
    else:
        print("ok")

a = [int(x, 0) for x in sys.argv[3:]]
if what == "holding":
    show(client.read_holding_registers(a[0], a[1], slave=a[2]))
elif what == "input":
    show(client.read_input_registers(a[0], a[1], slave=a[2]))
elif what == "coils":
    show(client.read_coils(a[0], a[1], slave=a[2]))
elif what == "inputs":
    show(client.read_discrete_inputs(a[0], a[1], slave=a[2]))
elif what == "write":
    show(client.write_registers(a[0], a[1:-1], slave=a[-1]))
elif what == "coil":
    show(client.write_coil(a[0], bool(a[1]), slave=a[2]))
elif what == "mask":
    # This version takes the unit of a mask write as "unit", not "slave".
    show(client.mask_write_register(address=a[0], and_mask=a[1], or_mask=a[2], unit=a[3]))
client.close()
EOF
py() { "$PYTHON" "$WORK/client.py" "$PORT" "$@" 2>&1; }

check "pymodbus: 3 words of station 1's block" equals "$(py holding 40009 3 1)" "100 200 300"
check "pymodbus: the same as input registers" equals "$(py input 40009 3 1)" "100 200 300"
check "pymodbus: discrete inputs 1 and 9" equals "$(py inputs 1 1 1 1)/$(py inputs 9 1 1 1)" "1/0"
check "pymodbus: the last register of station 5" equals "$(py holding 65534 1 5)" 42

check "pymodbus: coil 16 of station 5 cleared" equals "$(py coil 16 0 5)" ok
check "bit 16 of 0500001 is clear in the image" wait_for 10 dump_shows 0500001 32767
check "pymodbus: mask write sets it again" equals "$(py mask 0 0x7FFF 0x8000 5)" ok
check "0500001 is 0xFFFF again" wait_for 10 dump_shows 0500001 65535
check "pymodbus: a mask of two bits is 03" equals "$(py mask 0 0x3FFF 0 5)" "exception 03"
check "pymodbus: a write to a block not writable is 02" equals "$(py write 40009 1 2 1)" "exception 02"
check "pymodbus: unit 7 reaches no station: 0A" equals "$(py holding 0 1 7)" "exception 0A"
check "pymodbus: station 09 does not answer: 0B" equals "$(py holding 40000 1 9)" "exception 0B"
check "the gateway still serves the others" equals "$(py holding 40000 1 1)" 4321

kill "$GATEWAY_PID"
wait "$GATEWAY_PID"
check "the gateway stops cleanly on SIGTERM" equals "$?" 0
check "and logged no error" lacks "$WORK/gateway.log" "error:"
summary

#!/usr/bin/env bash
# Linux device names end to end: westnet-poll hands libwestnet.so a name that
# fits the host's 11-character device field, and the driver reaches
# westnet-sim's pseudo-terminal through it, from a long path (a link in a
# temporary folder) and from a name without '/' (a device under /dev/). A
# regular file is refused by the driver's open and left as it was.
#
#   serial_names_e2e.sh WESTNET_POLL WESTNET_SIM LIBWESTNET PLANT_IMAGE
set -u

POLL=$(realpath "$1")
SIM=$(realpath "$2")
DRIVER=$(realpath "$3")
IMAGE=$(realpath "$4")

WORK=$(mktemp -d)
SIM_PID=
DEV_LINK=
cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    [ -n "$DEV_LINK" ] && rm -f "$DEV_LINK"
    rm -rf "$WORK"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

# The simulator's first stdout line names its pseudo-terminal.
# Paced as the driver's line runs (9600 baud, the simulator's default 8O2):
# replies come byte by byte, as on a real highway.
start_sim --log "$WORK/sim.log" --baud 9600 --image "$IMAGE" || exit 1
PTY=$SIM_DEVICE

# Reads register 40001 of station 1 (1234 in the plant image) through DEVICE.
read_point() {
    (cd "$WORK" && "$POLL" --driver "$DRIVER" --device "$1" --timeout 500 --format csv \
        read 0140001 >out 2>err)
    status=$?
}

mkdir "$WORK/by-id"
long="$WORK/by-id/usb-WestNet_Line_Adapter-if00-port0"
ln -s "$PTY" "$long"
read_point "$long"
if [ ${#PTY} -le 11 ]; then
    check "a long path reaches the station" equals "$status" 0
    check "a long path reads the register" contains "$WORK/out" "0140001,1,40001,,1234,ok"
else
    # /dev/pts/100 and above have no name that fits: the refusal says what to do.
    check "a long path without a short name is refused" equals "$status" 2
    check "the refusal says what to do" contains "$WORK/err" "ln -s $PTY"
fi

if [ "$(id -u)" -eq 0 ]; then
    name=wn$$
    DEV_LINK=/dev/$name
    if ln -s "$PTY" "$DEV_LINK"; then
        read_point "$name"
        check "a name without '/' reaches the station" equals "$status" 0
        check "a name without '/' reads the register" contains "$WORK/out" \
            "0140001,1,40001,,1234,ok"
        rm -f "$DEV_LINK"
    else
        check "a link of our own under /dev/" false
    fi
    DEV_LINK=
else
    echo "skip - a name without '/': a link under /dev/ needs root"
fi

printf 'station data\n' >"$WORK/data"
read_point ./data
check "a regular file is refused by the open" equals "$status" 4
check "the regular file is unchanged" equals "$(cat "$WORK/data")" "station data"

summary

#!/usr/bin/env bash
# The shipped 32-bit westnet.dll under Wine, end to end:
#   tests/wine/run.sh <native build dir> <win32 build dir>
#
# Starts westnet-sim stations (from the native build) on pseudo-terminals,
# maps them into a Wine prefix as COM5 (the plant), COM6 (the plant with a
# script of faults) and COM7 (the plant answering at 9600 baud), runs
# wine_host.exe, which drives the DLL
# through ZanMain with records filled by their byte offsets, and then
# westnet-poll.exe on the same line. Exits non-zero when any check failed.
#
# The prefix lives in build/wine-prefix and is made on the first run
# (wineboot, a minute or so); later runs reuse it.
set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 <native build dir> <win32 build dir>" >&2
    exit 2
fi
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
NATIVE=$(cd "$1" && pwd) || exit 2
WIN=$(cd "$2" && pwd) || exit 2
SIM="$NATIVE/westnet-sim"
IMAGE="$ROOT/examples/plant.img"

for file in "$SIM" "$WIN/wine_host.exe" "$WIN/westnet.dll" "$WIN/TARVEK.dll" \
    "$WIN/westnet-poll.exe" "$IMAGE"; do
    if [ ! -e "$file" ]; then
        echo "run.sh: missing $file (build both presets first)" >&2
        exit 2
    fi
done
if ! command -v wine >/dev/null; then
    echo "run.sh: wine is not installed" >&2
    exit 2
fi

export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wine-prefix}"
export WINEDEBUG=-all

# No Mono or Gecko installer dialogs: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

source "$(dirname "${BASH_SOURCE[0]}")/../lib/scratch.sh" wine
scratch_extra() {
    wineserver -k 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6" \
        "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com12"
}

source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
wine_prefix run.sh "$WORK/wineboot.log"

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

# Starts a simulator and maps its pseudo-terminal to the Wine port named by
# $1; the path goes to the variable PTY_<port>. The first stdout line
# announces the device, so reading it waits as long as the simulator needs.
start_port() {
    local port=$1
    shift
    start_sim --log "$WORK/$port.trace" "$@" || exit 1
    PIDS+=("$SIM_PID")
    ln -sfn "$SIM_DEVICE" "$WINEPREFIX/dosdevices/$port"
    printf -v "PTY_$port" '%s' "$SIM_DEVICE"
}

start_port com5 --trace --image "$IMAGE"
# See wine_host.cpp for the order of the script.
start_port com6 --trace --image "$IMAGE" --script \
"ok,bad-checksum,silence,short,ok,\
silence,silence,silence,silence,silence,silence,\
bad-checksum,bad-checksum,bad-checksum,bad-checksum,bad-checksum,bad-checksum,\
bad-checksum,ok,ok,\
silence,silence,silence,silence,silence,silence"

# The plant again, with every reply byte sent at the driver's line speed.
start_port com7 --image "$IMAGE" --baud 9600 --format 8O2

cd "$WORK" || exit 1

echo "== wine_host.exe: the DLL through ZanMain, records by byte offset"
wine "$WIN/wine_host.exe" --dll "$(winepath -w "$WIN/westnet.dll")" \
    --plant COM5 --faulty COM6 --paced COM7 --reads 200 2>"$WORK/host.err" | tr -d '\r' | tee "$WORK/host.out"
host_status=${PIPESTATUS[0]}
check "wine_host.exe exit status 0" equals "$host_status" 0
check "wine_host.exe reports no failed check" contains "$WORK/host.out" " 0 failed"

# Every run is a new open of COM5 with the driver's parity. The terminal
# keeps no parity bit, so each open would ask for no change but that bit,
# which Wine's SetCommState refuses; the simulator puts its terminal back
# into its own state after each client, and every open succeeds.
poll() {
    wine "$WIN/westnet-poll.exe" "$@" >"$WORK/out" 2>"$WORK/err"
    status=$?
    tr -d '\r' <"$WORK/out" >"$WORK/out.txt"
}

echo "== westnet-poll.exe under Wine"
poll info --format csv
check "poll.exe info" contains "$WORK/out.txt" "WestNet II Data HighWay,"
poll --device COM5 --timeout 500 read 0140001 "0140002 8" --format csv
check "poll.exe read exit 0" equals "$status" 0
check "poll.exe read word" contains "$WORK/out.txt" "0140001,1,40001,,1234,ok"
check "poll.exe read bit" contains "$WORK/out.txt" "0140002 8,1,40002,8,1,ok"
poll --device COM5 --timeout 500 write 0140030=777 "0140031 1=1"
check "poll.exe write exit 0" equals "$status" 0
poll --device COM5 --timeout 500 read 0140030 0140031 --format csv
check "poll.exe reads back the word" contains "$WORK/out.txt" "0140030,1,40030,,777,ok"
check "poll.exe reads back the bit" contains "$WORK/out.txt" "0140031,1,40031,,1,ok"
poll --device COM5 --timeout 500 write-block 0140040 7 8 9
check "poll.exe write-block exit 0" equals "$status" 0
poll --device COM5 --timeout 500 read-block 0140040 3 --format csv
check "poll.exe read-block" contains "$WORK/out.txt" "0140042,2,40042,9"
# A port above COM9 goes to the driver as \\.\COM12.
ln -sfn "$PTY_com5" "$WINEPREFIX/dosdevices/com12"
poll --device COM12 --timeout 500 read 0540001 --hex --format csv
check "poll.exe on COM12" contains "$WORK/out.txt" "0540001,5,40001,,0x5678,ok"
poll --device COM5 --timeout 500 poll 0140001 --interval 0 --count 20 --format csv
check "poll.exe poll" contains "$WORK/err" "exchanges 20  ok 20"
grep -h "poll summary" "$WORK/err" | tr -d '\r'
# A failed open is explained with Windows' own services.
poll --device COM250 read 0140001
check "poll.exe: a failed open exits 4" equals "$status" 4
check "poll.exe: a missing port explained" contains "$WORK/err" "no such device: \\\\.\\COM250 does not exist"
poll --device COM5 --timeout 500 parse 0170000
check "poll.exe explains a rejected address (exit 3)" equals "$status" 3
check "poll.exe explanation" contains "$WORK/err" "position 2 (register, first digit)"

echo "word reads on COM5: $(grep -c 'READ_WORD' "$WORK/com5.trace") answered by the station"
echo "wine_host.exe: $(grep -E '^[0-9]+ passed' "$WORK/host.out")"
echo "run.sh: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

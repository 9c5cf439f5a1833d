#!/usr/bin/env bash
# westnet-sim.exe under Wine, as an engineer would use it on the host's own
# machine with a virtual null-modem pair:
#   tests/wine/sim-exe.sh <win32 build dir>
#
# socat links two pseudo-terminals; the Wine prefix maps one to COM13 (so the
# simulator opens it as \\.\COM13) and the other to COM3. westnet-sim.exe
# plays the example plant on COM13, westnet-poll.exe with the built
# westnet.dll reads and writes it on COM3, and SIGINT, which Wine turns into
# the console's Ctrl+C event, ends the simulator with its dump written.
#
# The line runs without parity: a pseudo-terminal keeps no parity bit, and
# socat, unlike the Linux simulator, does not put its terminal back into a
# neutral state between the poller's opens, so a second open with parity
# would ask for no change but that bit, which Wine's SetCommState refuses.
#
# The prefix is tests/wine/run.sh's, made the same way on a first run.
set -u

if [ $# -ne 1 ]; then
    echo "usage: $0 <win32 build dir>" >&2
    exit 2
fi
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
WIN=$(cd "$1" && pwd) || exit 2
for file in "$WIN/westnet-sim.exe" "$WIN/westnet-poll.exe" "$WIN/westnet.dll" \
    "$WIN/TARVEK.dll" "$ROOT/examples/plant.img"; do
    if [ ! -e "$file" ]; then
        echo "sim-exe.sh: missing $file (build the win32 preset first)" >&2
        exit 2
    fi
done
for tool in wine socat; do
    if ! command -v "$tool" >/dev/null; then
        echo "sim-exe.sh: $tool is not installed" >&2
        exit 2
    fi
done

export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wine-prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

WORK=$(mktemp -d)
socat_pid=""
sim_pid=""
cleanup() {
    local pid
    for pid in $sim_pid $socat_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    wineserver -k 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/com3" "$WINEPREFIX/dosdevices/com13"
    rm -rf "$WORK"
}
trap cleanup EXIT

source "$HERE/../lib/wine.sh"
wine_prefix sim-exe.sh "$WORK/wineboot.log"
source "$HERE/../lib/check.sh"

# The pair: socat names both terminals, then says it is relaying.
socat -d -d pty,raw,echo=0 pty,raw,echo=0 2>"$WORK/socat.log" &
socat_pid=$!
for _ in $(seq 300); do
    grep -q 'starting data transfer loop' "$WORK/socat.log" && break
    sleep 0.1
done
mapfile -t ptys < <(sed -n 's/.*PTY is \(\/dev\/[^ ]*\).*/\1/p' "$WORK/socat.log")
if [ ${#ptys[@]} -ne 2 ]; then
    echo "sim-exe.sh: socat did not make a pair:" >&2
    cat "$WORK/socat.log" >&2
    exit 1
fi
ln -sfn "${ptys[0]}" "$WINEPREFIX/dosdevices/com13"
ln -sfn "${ptys[1]}" "$WINEPREFIX/dosdevices/com3"

cd "$WORK" || exit 1
SIM="$WIN/westnet-sim.exe"

echo "== westnet-sim.exe refuses what it cannot serve"
wine "$SIM" --image "$(winepath -w "$ROOT/examples/plant.img")" >/dev/null 2>"$WORK/err"
check "no --device: usage error (exit 2)" equals "$?" 2
check "no --device: says to give a COM port" contains "$WORK/err" "--device"
wine "$SIM" --device COM99 --station 1 >/dev/null 2>"$WORK/err"
check "a missing port: exit 1" equals "$?" 1
check "a missing port: says so" contains "$WORK/err" "cannot open COM99: no such port"
check "westnet-sim.exe --version" equals \
    "$(wine "$SIM" --version 2>/dev/null | tr -d '\r')" \
    "westnet-sim $(sed -n 's/^project(westnet VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")"

echo "== westnet-sim.exe on COM13, westnet-poll.exe on COM3"
# The first answered requests: the select, then six bad checksums, which use
# up all of the driver's attempts of the first read.
dump="$WORK/dump.img"
exec {sim_out}< <(exec wine "$SIM" --device COM13 --format 8N2 --trace \
    --image "$(winepath -w "$ROOT/examples/plant.img")" --dump "$(winepath -w "$dump")" \
    --script ok,bad-checksum,bad-checksum,bad-checksum,bad-checksum,bad-checksum,bad-checksum \
    2>"$WORK/sim.trace")
sim_pid=$!
line=""
read -r -t 60 line <&"$sim_out"
check "westnet-sim.exe announces its port" equals "$(tr -d '\r' <<<"$line")" "device: COM13"

poll() {
    wine "$WIN/westnet-poll.exe" --device COM3 --parity none --timeout 500 --format csv "$@" \
        >"$WORK/out" 2>"$WORK/poll.err"
    status=$?
    tr -d '\r' <"$WORK/out" >"$WORK/out.txt"
}
poll read 0140001
check "a reply with a bad checksum every time: refused (exit 3)" equals "$status" 3
check "  and reported as refused" contains "$WORK/out.txt" "refused"
poll read 0140001 "0140002 8" 0540001
check "read exit 0" equals "$status" 0
check "read a word" contains "$WORK/out.txt" "0140001,1,40001,,1234,ok"
check "read a bit" contains "$WORK/out.txt" "0140002 8,1,40002,8,1,ok"
check "read station 5" contains "$WORK/out.txt" "0540001,5,40001,,22136,ok"
poll write 0140030=777 "0140031 1=1"
check "write a word and a bit (exit 0)" equals "$status" 0
poll read 0140030 0140031
check "the word reads back" contains "$WORK/out.txt" "0140030,1,40030,,777,ok"
check "the bit reads back" contains "$WORK/out.txt" "0140031,1,40031,,1,ok"
poll write-block 0140040 7 8 9
check "write a block (exit 0)" equals "$status" 0
poll read-block 0240001 64
check "read a block of 64 words" contains "$WORK/out.txt" "0240064,63,40064,64"
check "the trace shows the block read" contains "$WORK/sim.trace" \
    "READ_BLOCK reg 0x9C40 count 64 on station 2"
check "the trace shows the injected faults" contains "$WORK/sim.trace" "| fault bad-checksum"

echo "== Ctrl+C ends westnet-sim.exe with its dump"
kill -INT "$sim_pid"
for _ in $(seq 300); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
wait "$sim_pid"
check "exit status 0 after Ctrl+C" equals "$?" 0
sim_pid=""
check "the dump holds the written words and bit" contains "$dump" "0140030 = 777, 1"
check "the dump holds the written block" contains "$dump" "0140040 = 7, 8, 9"
check "the dump holds the plant" contains "$dump" "0540001 = 22136"

summary

#!/usr/bin/env bash
# End to end on Linux: westnet-poll loads libwestnet.so and drives every
# command of the driver against westnet-sim on a pseudo-terminal: every op
# code on the wire, a failed open's report through the host's err, and
# faults that the driver's retries recover from or that exhaust them, each
# with its exit status.
#
#   poll_e2e.sh WESTNET_POLL WESTNET_SIM LIBWESTNET PLANT_IMAGE
set -u

POLL=$(realpath "$1")
SIM=$(realpath "$2")
DRIVER=$(realpath "$3")
IMAGE=$(realpath "$4")

source "$(dirname "${BASH_SOURCE[0]}")/../lib/scratch.sh" poll-e2e

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

# Starts a simulator; its device path goes to the variable named by $1, its
# trace to $WORK/$1.trace.
start_line() {
    local var=$1
    shift
    # Paced as the driver's line runs (9600 baud, the simulator's default 8O2):
    # replies come byte by byte, as on a real highway.
    start_sim --log "$WORK/$var.trace" --baud 9600 --trace "$@" || exit 1
    PIDS+=("$SIM_PID")
    # A short relative name: the driver's device field holds 11 characters.
    ln -s "$SIM_DEVICE" "$WORK/$var"
    printf -v "$var" '%s' "$var"
}

# A pseudo-terminal keeps no parity bit, so a second open with parity asks
# for a change the terminal cannot make, and the line discipline refuses it
# when nothing else changes. Raising echo, which the driver's raw set-up
# turns off again, makes every open a real change.
prime() { stty -F "$WORK/$1" echo; }

# Runs westnet-poll in the work folder; output in $WORK/out, $WORK/err.
run() {
    local device=$1
    shift
    prime "$device"
    (cd "$WORK" && "$POLL" --driver "$DRIVER" --device "$device" "$@" >out 2>err)
    status=$?
}

cd "$WORK" || exit 1
start_line plant --image "$IMAGE"

# The command line itself.
"$POLL" --version >"$WORK/out" 2>&1
check "version" contains "$WORK/out" "westnet-poll "
"$POLL" --help >"$WORK/out" 2>&1
check "help documents the exit status" contains "$WORK/out" "EXIT STATUS"
"$POLL" --bogus info >"$WORK/out" 2>&1
check "unknown option is a usage error (2)" equals $? 2
"$POLL" --driver "$WORK/none.so" info >"$WORK/out" 2>&1
check "missing driver exits 5" equals $? 5

# CmdGetInfo (14).
"$POLL" --driver "$DRIVER" info --format json >"$WORK/out" 2>"$WORK/err"
check "info exit 0" equals $? 0
check "info name" contains "$WORK/out" '"name": "WestNet II Data HighWay"'
check "info banner length" contains "$WORK/out" '"banner_bytes": 185'
check "info banner text" contains "$WORK/out" 'Westnet II Data Highway, driver Installed.'
check "info line" contains "$WORK/out" '"baud": 9600,'
check "info stop bits code" contains "$WORK/out" '"stop_bits_code": 2,'
check "info parity code" contains "$WORK/out" '"parity_code": 1,'

# CmdParsePoint (3) and CmdParseBlock (4), with explanations.
"$POLL" --driver "$DRIVER" parse 0100001 "0240001 9" --format csv >"$WORK/out" 2>"$WORK/err"
check "parse exit 0" equals $? 0
check "parse word point" contains "$WORK/out" "0100001,ok,1,1,0,,255,word,16"
check "parse bit point" contains "$WORK/out" "0240001 9,ok,2,40001,40000,9,8,bit,1"
"$POLL" --driver "$DRIVER" parse 0170000 >"$WORK/out" 2>"$WORK/err"
check "rejected address exits 3" equals $? 3
check "rejection names the position" contains "$WORK/err" "position 2 (register, first digit) holds '7'"
"$POLL" --driver "$DRIVER" parse --words 65 0140001 >"$WORK/out" 2>"$WORK/err"
check "block of 65 words exits 3" equals $? 3
check "block rejection explained" contains "$WORK/err" "a block holds 1 to 64 words, not 65"

# CmdOpen (1) that fails: one report through the host's err, exit 4.
ERRLOG="$WORK/tarvek.log"
(cd "$WORK" && TARVEK_ERR_LOG="$ERRLOG" "$POLL" --driver "$DRIVER" --device /nonexist \
    read 0140001 >out 2>err)
check "failed open exits 4" equals $? 4
check "failed open reported once through err" \
    equals "$(cat "$ERRLOG" 2>/dev/null)" "[32] ZANWestNet II Data HighWay : Fail to open /nonexist"

# CmdReadPoint (5): OP_SELECT, OP_READ_WORD, word and bit points.
run plant --timeout 500 read 0140001 0140002 "0140002 8" "0140002 9" 0565535 --format csv
check "read exit 0" equals "$status" 0
check "read word" contains "$WORK/out" "0140001,1,40001,,1234,ok"
check "read bit 8 of 0x00FF" contains "$WORK/out" "0140002 8,1,40002,8,1,ok"
check "read bit 9 of 0x00FF" contains "$WORK/out" "0140002 9,1,40002,9,0,ok"
check "read the last register" contains "$WORK/out" "0565535,5,65535,,42,ok"

# CmdReadBlock (6): OP_READ_BLOCK of 64 words.
run plant --timeout 500 read-block 0240001 64 --format csv
check "read-block exit 0" equals "$status" 0
check "read-block first word" contains "$WORK/out" "0240001,0,40001,1"
check "read-block last word" contains "$WORK/out" "0240064,63,40064,64"
check "read-block 64 rows" equals "$(($(wc -l <"$WORK/out") - 1))" 64

# Typed values of the image (f32h:12.5, u32:1234567, i16:732), decoded as
# the gateway decodes them, the two registers of a value in one block read.
run plant --timeout 500 --type float32 --word-order high-first read 0140105 --format csv
check "read --type float32 high-first" contains "$WORK/out" "0140105,1,40105,float32,12.5,16712 0,ok"
run plant --timeout 500 --type uint32 read 0140103 --format csv
check "read --type uint32" contains "$WORK/out" "0140103,1,40103,uint32,1234567,54919 18,ok"
run plant --timeout 500 --type int16 read 0140101 --format csv
check "read --type int16" contains "$WORK/out" "0140101,1,40101,int16,732,732,ok"

# CmdWritePoint (7): OP_WRITE_WORD and OP_WRITE_BIT, read back.
run plant --timeout 500 write 0140003=0x1234 "0140003 16=1"
check "write exit 0" equals "$status" 0
run plant --timeout 500 read 0140003 --hex --format csv
check "word and bit written" contains "$WORK/out" "0140003,1,40003,,0x9234,ok"

# CmdWriteBlock (10): OP_WRITE_BLOCK, read back.
run plant --timeout 500 write-block 0140020 10 20 0xFFFF
check "write-block exit 0" equals "$status" 0
run plant --timeout 500 read-block 0140020 3 --format csv
check "block written" contains "$WORK/out" "0140020,0,40020,10"
check "block written, last word" contains "$WORK/out" "0140022,2,40022,65535"

# CmdPurge (2), CmdClose (12), CmdReopen (13), CmdShutdown (11) and
# CmdReconfigure (15). Without parity: a reopen inside one run cannot be
# primed (see prime).
run plant --timeout 500 --parity none line-check --format csv
check "line-check exit 0" equals "$status" 0
for step in "open,1,ok" "purge,2,ok" "close,12,ok,closed" "reopen,13,ok,open" \
    "shutdown,11,ok,closed" "reconfigure,15,ok,open"; do
    check "line-check $step" contains "$WORK/out" "$step"
done

# Poll: rows, statistics and the summary.
run plant --timeout 500 poll 0140001 0540001 --interval 0 --count 5 --format csv
check "poll exit 0" equals "$status" 0
check "poll rows" equals "$(grep -c ',ok,' "$WORK/out")" 10
check "poll summary" contains "$WORK/err" "poll summary: 5 rounds"
check "poll statistics" contains "$WORK/err" "exchanges 10  ok 10  refused 0  line failures 0"

# Every op code reached the station.
for op in "rx 0A" "rx 00" "rx 01" "rx 03" "rx 05" "rx 07"; do
    check "op on the wire: $op" contains "$WORK/plant.trace" "$op"
done

# Faults, a script for a sequence of runs; each run selects station 1 first
# (the script's "ok" before each group). A run whose commands waited out a
# time-out measures the station afterwards: the first run has a station of
# its own, so that those reads take nothing from the later runs' script.
start_line recovering --image "$IMAGE" --seed 7 \
    --script "ok,bad-checksum,silence,short,bad-data,bad-checksum,ok"
start_line faulty --image "$IMAGE" --seed 7 \
    --script "ok,silence,silence,silence,silence,silence,silence,ok,bad-checksum,bad-checksum,bad-checksum,bad-checksum,bad-checksum,bad-checksum,ok,silence,ok,bad-checksum"

run recovering --timeout 400 read 0140001 --format csv
check "five faults recovered: exit 0" equals "$status" 0
check "five faults recovered: value" contains "$WORK/out" "0140001,1,40001,,1234,ok"
check "faults reached the driver" equals "$(grep -c 'fault' "$WORK/recovering.trace")" 5

run faulty --timeout 400 read 0140001
check "six silent attempts: line failure exits 4" equals "$status" 4
check "line failure explained" contains "$WORK/err" "line failure (driver result 2)"

run faulty --timeout 400 read 0140001
check "six bad checksums: refused exits 3" equals "$status" 3
check "refusal explained" contains "$WORK/err" "refused (driver result 1)"

run faulty --timeout 400 poll 0140001 --interval 0 --count 3
check "poll through faults exits 0" equals "$status" 0
check "poll through faults: all reads ok" contains "$WORK/err" "exchanges 3  ok 3  refused 0"

# The control socket: station 5 dies while the line runs, and its reads fail
# while station 1 still answers; then it answers again.
start_line controlled --image "$IMAGE" --control "$WORK/control"
control() { printf '%s\n' "$1" | socat -t 5 - "UNIX-CONNECT:$WORK/control"; }
check "silence 05 taken" equals "$(control 'silence 05')" ok
run controlled --timeout 200 read 0540001
check "silenced station: line failure exits 4" equals "$status" 4
run controlled --timeout 200 read 0140001 --format csv
check "another station answers meanwhile" contains "$WORK/out" "0140001,1,40001,,1234,ok"
check "status names the silenced station" equals "$(control status)" \
    "ok 01 answers; 02 answers; 05 silenced"
check "answer 05 taken" equals "$(control 'answer 05')" ok
run controlled --timeout 200 read 0540001 --format csv
check "the station answers again" contains "$WORK/out" "0540001,5,40001,,22136,ok"

summary

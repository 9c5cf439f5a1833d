#!/usr/bin/env bash
# End to end on Linux: what westnet-poll tells a user that the driver alone
# would not. Late replies are warned of and the --timeout that avoids them is
# found; a failed open says why; a poll survives its line going away and
# coming back, and ends on SIGTERM with its summary; the options where a
# wrong answer could hide (signed values, blocks at the last register, the
# rows --changes and --log keep).
#
#   poll_trust_e2e.sh WESTNET_POLL WESTNET_SIM LIBWESTNET PLANT_IMAGE
set -u

POLL=$(realpath "$1")
SIM=$(realpath "$2")
DRIVER=$(realpath "$3")
IMAGE=$(realpath "$4")

WORK=$(mktemp -d)
declare -A SIM_PIDS=()
OTHER_PIDS=()
cleanup() {
    local pid
    for pid in "${SIM_PIDS[@]}" "${OTHER_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK" "${FOLDER:-}" "${STALE:-}"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

# A name that fits the driver's 11-character device field, absolute so that
# it means the same to every build of the POSIX layer: /tmp/wnXXXX.
short_name() { mktemp -u /tmp/wnXXXX; }

# start_line NAME ARGS...: a simulator linked as a short name, kept in the
# variable NAME (the same name when NAME is started again); its pty path in
# PTY_NAME.
start_line() {
    local name=$1
    shift
    [ -n "${!name:-}" ] || printf -v "$name" '%s' "$(short_name)"
    # Paced as the driver's line runs (9600 baud, the simulator's default 8O2):
    # replies come byte by byte, as on a real highway.
    start_sim --log "$WORK/$name.log" --baud 9600 --link "${!name}" "$@" || exit 1
    SIM_PIDS[$name]=$SIM_PID
    printf -v "PTY_$name" '%s' "$SIM_DEVICE"
}

stop_line() {
    stop_sim "${SIM_PIDS[$1]}"
    unset "SIM_PIDS[$1]"
}

# Runs westnet-poll in the work folder; output in $WORK/out, $WORK/err.
run() {
    (cd "$WORK" && "$POLL" --driver "$DRIVER" "$@" >out 2>err)
    status=$?
}

# wait_for FILE TEXT: until FILE holds TEXT, for up to 60 s.
wait_for() {
    local deadline=$((SECONDS + 60))
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

cd "$WORK" || exit 1

# Late replies: a station slower than the driver's suggested 40 ms.
start_line slow --image "$IMAGE" --turnaround 60
run --device "$slow" read 0140001 0540001 --format csv
check "late replies: warned of" contains "$WORK/err" \
    "commands took longer than the reply time-out (40 ms)"
check "late replies: may be taken for later answers" contains "$WORK/err" \
    "a late reply may have been taken for the answer to a later request"
suggested=$(sed -n 's/.*run again with --timeout \([0-9]*\).*/\1/p' "$WORK/err")
check "late replies: a --timeout suggested above the turnaround" test "${suggested:-0}" -gt 60
# A station that answers every request, however late, stays a reply behind
# once it fell behind: the rest runs on a station of its own.
stop_line slow
start_line slow --image "$IMAGE" --turnaround 60
run --device "$slow" line-check 0140001 0540001 --format csv
recommended=$(sed -n 's/.*recommended: --timeout \([0-9]*\) .*/\1/p' "$WORK/err")
check "line-check: a --timeout recommended above the turnaround" test "${recommended:-0}" -gt 60
check "line-check: both stations measured" equals "$(grep -c ',ok$' "$WORK/out")" 2
run --device "$slow" --timeout "${recommended:-1000}" read 0140001 0540001 --format csv
check "recommended time-out: the values" contains "$WORK/out" "0540001,5,40001,,22136,ok"
check "recommended time-out: no warning" lacks "$WORK/err" "took longer"
stop_line slow

# Failed opens, each with its reason and the host library's line once.
start_line plant --image "$IMAGE"
FOLDER=$(short_name)
mkdir "$FOLDER"
STALE=$(short_name)
ln -s /dev/pts/999999 "$STALE"
expect_open_failure() {
    local name=$1 device=$2 reason=$3
    shift 3
    run --device "$device" "$@" read 0140001
    check "$name: exit 4" equals "$status" 4
    check "$name: $reason" contains "$WORK/err" "$reason"
    check "$name: the host's message once" equals "$(grep -c 'Fail to open' "$WORK/err")" 1
}
expect_open_failure "missing device" "$(short_name)" "no such device: "
expect_open_failure "link left behind" "$STALE" "is a link to /dev/pts/999999, which does not exist"
expect_open_failure "folder" "$FOLDER" "not a serial device: $FOLDER is a folder"
expect_open_failure "baud rate" "$plant" "nearest: 1200 or 1800" --baud 1234

# Held: another poller has the port.
(cd "$WORK" && exec "$POLL" --driver "$DRIVER" --device "$plant" --interval 50 --format csv \
    poll 0140001 >holder.out 2>holder.err) &
holder=$!
OTHER_PIDS+=($holder)
wait_for "$WORK/holder.out" ",ok," # its first row: the port is open
expect_open_failure "held" "$plant" "held by another program"
check "held: the holder's process" contains "$WORK/err" "locked by process $holder (westnet-poll)"
kill -TERM "$holder"
wait "$holder"

# Permission denied, as a user who may not use the port.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    as_nobody() {
        setpriv --reuid=65534 --regid=65534 --clear-groups \
            "$POLL" --driver "$DRIVER" --device "$PTY_plant" read 0140001 >"$WORK/out" 2>"$WORK/err"
        status=$?
    }
    chmod 600 "$PTY_plant"
    as_nobody
    check "permission: exit 4" equals "$status" 4
    check "permission: denied" contains "$WORK/err" "permission denied: this user may not open"
    check "permission: only the owner" contains "$WORK/err" "only its owner, root, may open it"
    chgrp dialout "$PTY_plant" && chmod 660 "$PTY_plant"
    as_nobody
    check "permission: the group" contains "$WORK/err" "are not in the group dialout"
    chmod 600 "$PTY_plant"
else
    echo "skip - permission denied (needs root and setpriv to run as another user)"
fi

# Values: negative writes need --signed, JSON values stay numbers.
run --device "$plant" write 0140050=-2
check "negative without --signed: usage error" equals "$status" 2
check "negative without --signed: says why" contains "$WORK/err" "give --signed"
run --device "$plant" --signed write 0140050=-2 0170000=1 --format csv
check "signed write with a rejected address: exit 3" equals "$status" 3
check "the rejected address keeps its row" contains "$WORK/out" "0170000,,,,1,address rejected"
run --device "$plant" --signed --hex --format json read 0140050
check "JSON: the number and its hex" contains "$WORK/out" '"value": -2, "hex": "0xFFFE", "result": "ok"'

# Blocks that would run past register 65535 are refused before the line.
run --device "$plant" read-block 0565535 3
check "read-block past 65535: exit 3" equals "$status" 3
check "read-block past 65535: explained" contains "$WORK/err" "at most 1 word fits"
run --device "$plant" write-block 0565535 7 8
check "write-block past 65535: exit 3" equals "$status" 3
run --device "$plant" read 0500001 --format csv
check "write-block past 65535: register 00001 untouched" contains "$WORK/out" "0500001,5,1,,65535,ok"

# A points file, --changes and an appended JSON Lines log.
printf '# the pump house\n0140001   # flow set point\n\n0140002 8\n' >"$WORK/points.txt"
for n in 1 2; do
    run --device "$plant" --points points.txt --interval 0 --count 3 --changes \
        --log rows.jsonl --format csv poll
done
check "--changes: one row a point" equals "$(grep -c ',ok,' "$WORK/out")" 2
check "timestamps: ISO 8601 UTC with milliseconds" \
    test -n "$(grep -E '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z,1,0140001,1234,ok,' "$WORK/out")"
check "--log: both runs appended" equals "$(wc -l <"$WORK/rows.jsonl")" 4
check "--log: JSON Lines" contains "$WORK/rows.jsonl" '"address": "0140002 8", "value": 1, "result": "ok"'

# Warnings: characters the driver ignores, options that do not apply, and
# station 00 beside addressed stations.
run --device "$plant" --interval 5 read "0140001 1 6" 0000001 0140001
check "trailing characters warned of" contains "$WORK/err" 'ignores the rest, " 6"'
check "an option that does not apply" contains "$WORK/err" "--interval does not apply"
check "station 00 beside others" contains "$WORK/err" "station 00 shares this run with station 01"
run --device "$plant" --rts toggle --dtr on line-check
check "line-check: the control flags in force" contains "$WORK/out" "0x2001: RTS toggle, DTR on"

# A poll that survives its line: the simulator ends and starts again on the
# same link.
start_line relink --image "$IMAGE"
(cd "$WORK" && exec "$POLL" --driver "$DRIVER" --device "$relink" --timeout 200 --interval 100 \
    --format csv poll 0140001 >poll.out 2>poll.err) &
poller=$!
OTHER_PIDS+=($poller)
check "recovery: polling" wait_for "$WORK/poll.out" ",ok,"
stop_line relink
check "recovery: the line goes down" wait_for "$WORK/poll.err" "line down after round"
check "recovery: a reopen that fails says why" wait_for "$WORK/poll.err" \
    "does not reopen yet: no such device"
start_line relink --image "$IMAGE"
check "recovery: the line comes back" wait_for "$WORK/poll.err" "line back up: $relink reopened"
before=$(grep -c ',ok,' "$WORK/poll.out")
deadline=$((SECONDS + 60))
while [ "$(grep -c ',ok,' "$WORK/poll.out")" -le "$before" ] && [ $SECONDS -lt $deadline ]; do
    sleep 0.05
done
kill -TERM "$poller"
wait "$poller"
check "recovery: SIGTERM ends the poll (line failures: exit 4)" equals "$?" 4
check "recovery: rows while down" contains "$WORK/poll.out" ",line down,"
check "recovery: read again after" test "$(grep -c ',ok,' "$WORK/poll.out")" -gt "$before"
check "SIGTERM: the summary" contains "$WORK/poll.err" "(interrupted)"
check "recovery: counted in the summary" contains "$WORK/poll.err" "line down 1 time, "

summary

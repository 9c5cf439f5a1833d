#!/usr/bin/env bash
# The driver on a faulty line, measured for scripts/bench: westnet-poll polls
# four word points of four stations through libwestnet.so against westnet-sim
# paced at 9600 baud 8O2 (a reply arrives byte by byte, as on a real line),
# and every value shown as ok is checked against the simulator's image.
# Prints one RESULT line a case on stdout, everything else on stderr.
#
#   fault_bench.sh BUILD_DIR ROUNDS SEED
set -uo pipefail

BUILD=$(realpath "$1")
ROUNDS="$2"
SEED="$3"

source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/scratch.sh" fault-bench
source "$(dirname "${BASH_SOURCE[0]}")/../tests/lib/sim.sh"
SIM="$BUILD/westnet-sim"
fail() {
    echo "fault_bench: $*" >&2
    exit 1
}

# Station N holds N * 1111 in register 40001, so a value taken from another
# station's reply, or a select reply's 0, cannot pass for the right one.
cat >"$WORK/plant.img" <<'EOF'
0140001 = 1111
0240001 = 2222
0340001 = 3333
0440001 = 4444
EOF

# run CASE FAULT...: one polling run with these --fault rates.
run() {
    local name=$1
    shift
    local args=()
    for f in "$@"; do args+=(--fault "$f"); done
    start_sim --log "$WORK/$name.sim" --image "$WORK/plant.img" --baud 9600 --format 8O2 \
        --late-ms 50 --seed "$SEED" --stats "${args[@]}" || fail "westnet-sim did not start"
    local sim=$SIM_PID
    PIDS+=("$sim")
    # A 100 ms reply time-out: late replies (50 ms) come well inside it.
    "$BUILD/westnet-poll" --driver "$BUILD/libwestnet.so" --device "$SIM_DEVICE" \
        --timeout 100 --interval 0 --count "$ROUNDS" \
        poll 0140001 0240001 0340001 0440001 >"$WORK/$name.out" 2>"$WORK/$name.err" ||
        fail "westnet-poll failed: $(tail -3 "$WORK/$name.err")"
    stop_sim "$sim"
    local faults
    faults=$(awk '$1 == "fault" { n += $3 } END { print n + 0 }' "$WORK/$name.sim")
    awk -v name="$name" -v faults="$faults" -v seed="$SEED" '
        NR > 1 && NF >= 6 {
            n++
            want = substr($3, 2, 1) * 1111
            if ($5 == "ok") { ok++; if ($4 != want) wrong++ } else refused++
        }
        END {
            printf "RESULT kind=faults case=%s seed=%s commands=%d ok=%d wrong=%d refused=%d injected=%d\n",
                name, seed, n, ok, wrong, refused, faults
        }' "$WORK/$name.out"
}

run clean
run noise5 noise=0.05
run mixed18 bad-checksum=0.03 bad-data=0.03 noise=0.03 short=0.03 silence=0.03 late=0.03

#!/usr/bin/env bash
# The status page at 100,000 points, measured for scripts/bench (section 11):
# westnet-gateway on a generated plant (two stations of 50,000 word points on
# one unpaced westnet-sim line: the line's speed is not the point), 100 of
# them counters that change every second. Measured: the gateway's CPU with
# no page open, then with the page open in headless chromium (live on
# /api/events, /api/status every 5 s), the difference being the page's
# share; the bytes a second the page receives (its event stream, read by
# curl alongside over the same window, and its status fetches); and, for
# comparison, what the page cost before it was live (every point from
# /api/points every 30 s, the status every second). Prints one RESULT line
# on stdout, everything else on stderr.
#
#   page_bench.sh BUILD_DIR [SECONDS]
set -uo pipefail

BUILD=$(realpath "$1")
SECS=${2:-20}
HERE="$(dirname "${BASH_SOURCE[0]}")"
source "$HERE/../tests/lib/scratch.sh" page-bench
source "$HERE/../tests/lib/sim.sh"
source "$HERE/../tests/lib/check.sh"
SIM="$BUILD/westnet-sim"
GATEWAY="$BUILD/westnet-gateway"
fail() {
    echo "page_bench: $*" >&2
    exit 1
}
POINTS=100000
ANIMATED=100

# The plant: registers 10001-60000 of stations 01 and 02, a point each.
{
    printf '0110001 = 1\n0210001 = 1\n'
} >"$WORK/plant.img"
animate=()
for ((i = 0; i < ANIMATED; i++)); do animate+=(--animate "$(printf '01%05d' $((10001 + i)))=counter:1000"); done
start_sim --image "$WORK/plant.img" --link "$WORK/hw" "${animate[@]}" || fail "westnet-sim did not start"
PIDS+=("$SIM_PID")
python3 - "$WORK/plant.toml" "$WORK" $POINTS <<'PY'
import sys
path, work, points = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(path, 'w') as f:
    f.write('[gateway]\nhttp = "127.0.0.1:0"\nhttp_public_read = true\nmodbus = ""\nmqtt = ""\n'
            'users_file = "%s/users"\naudit_file = ""\nhistory = ""\n\n'
            '[[line]]\nname = "big"\ndevice = "%s/hw"\n\n' % (work, work))
    # Inline tables: the file stays under the reader's 4 MB.
    f.write('point = [\n')
    for i in range(points):
        station, reg = 1 + i // 50000, 10001 + i % 50000
        f.write('{address="%02d%05d",name="s%d/%d"},\n' % (station, reg, station, reg))
    f.write(']\n')
PY
"$GATEWAY" "$WORK/plant.toml" 2>"$WORK/gw.err" &
GW_PID=$!
PIDS+=("$GW_PID")
listening() { grep -q 'http: listening on http://127.0.0.1:' "$WORK/gw.err" || ! kill -0 $GW_PID 2>/dev/null; }
wait_for 120 listening || fail "the gateway did not start: $(tail -3 "$WORK/gw.err")"
PORT=$(sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$WORK/gw.err" | head -1)
URL="http://127.0.0.1:$PORT"
good() {
    curl -sf "$URL/api/status" | python3 -c 'import json,sys; d=json.load(sys.stdin); l=d["lines"][0]; sys.exit(0 if l["points_good"] == l["points"] else 1)'
}
wait_for 120 good || fail "the points did not all become good"

TICK=$(getconf CLK_TCK)
# The gateway's CPU ticks: all of it, and its HTTP thread's (the library's
# one thread, MHD-single), which serves every page and stream: the scan's
# own CPU on an unpaced line swings far more than a page costs.
cpu() { awk '{print $14 + $15}' "/proc/$GW_PID/stat"; }
http_cpu() {
    local t sum=0
    for t in /proc/"$GW_PID"/task/*; do
        [[ $(cat "$t/comm" 2>/dev/null) == MHD-* ]] && sum=$((sum + $(awk '{print $14 + $15}' "$t/stat")))
    done
    echo $sum
}
mark() { t0=$(cpu) h0=$(http_cpu) n0=$(date +%s%N); }
# share START_TICKS START_NS: CPU since then, in % of a core.
share() {
    local ticks=$1 ns=$(($(date +%s%N) - $2))
    python3 -c "print('%.2f' % (100.0 * $ticks / $TICK / ($ns / 1e9)))"
}

# The gateway alone.
mark
sleep "$SECS"
idle=$(share $(($(cpu) - t0)) "$n0")
idle_http=$(share $(($(http_cpu) - h0)) "$n0")
echo "page_bench: idle: gateway $idle %, HTTP thread $idle_http %" >&2

# The page open, once it is live; the stream's bytes read alongside.
exec {PAGE}< <(exec timeout $((SECS + 200)) python3 "$HERE/../tests/lib/browser.py" "$URL/" \
    --timeout 150 --hold "$((SECS + 2))" \
    --until 'document.getElementById("clock").textContent.indexOf("live") === 0' 2>"$WORK/browser.err")
PAGE_PID=$!
PIDS+=("$PAGE_PID")
read -r -t 170 said <&"$PAGE" || fail "the page did not become live: $(cat "$WORK/browser.err")"
[ "$said" = held ] || fail "the page said $said"
curl -sN --max-time "$SECS" "$URL/api/events?snapshot=0" -o "$WORK/stream" 2>/dev/null &
CURL_PID=$!
mark
sleep "$SECS"
open=$(share $(($(cpu) - t0)) "$n0")
open_http=$(share $(($(http_cpu) - h0)) "$n0")
wait "$CURL_PID"
status_bytes=$(curl -s "$URL/api/status" | wc -c)
stream_bytes=$(wc -c <"$WORK/stream")
echo "page_bench: page open: gateway $open %, HTTP thread $open_http %" >&2
snapshot_bytes=$(curl -sN --max-time 60 "$URL/api/events" | sed '/^event: ready/q' | wc -c)

# Before the page was live: every point from /api/points every 30 s and the
# status every second; each fetch measured alone (five of each), then
# brought to that pace.
mark
for i in 1 2 3 4 5; do points_bytes=$(curl -s "$URL/api/points" | wc -c); done
points_ticks=$(($(http_cpu) - h0))
mark
for i in 1 2 3 4 5; do curl -s "$URL/api/status" >/dev/null; done
status_ticks=$(($(http_cpu) - h0))
# The stream read by curl alongside the page is a second client: half of
# what the HTTP thread spent is the page's.
python3 -c "
print('RESULT kind=page points=$POINTS changes_per_s=$ANIMATED idle_cpu_pct=$idle open_cpu_pct=$open '
      'http_cpu_pct=%.2f bytes_per_s=%d snapshot_bytes=$snapshot_bytes before_http_cpu_pct=%.2f '
      'before_bytes_per_s=%d' % (($open_http - $idle_http) / 2, $stream_bytes / $SECS + $status_bytes / 5.0,
      100.0 * ($points_ticks / 5 / 30.0 + $status_ticks / 5) / $TICK, $points_bytes / 30.0 + $status_bytes))"

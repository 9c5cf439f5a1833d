# A test's scratch folder, $WORK, and the processes it starts, $PIDS (add each
# with PIDS+=($!)): at exit every one is stopped and the folder removed, or
# kept when KEEP is set, to read after a failure. Source it first, with the
# test's name: source scratch.sh NAME. A test with more to undo (a Wine
# port, a wineserver) defines scratch_extra, run once its processes are
# stopped.

WORK=$(mktemp -d "/tmp/westnet-${1:-test}.XXXXXX")
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if declare -F scratch_extra >/dev/null; then
        scratch_extra
    fi
    [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

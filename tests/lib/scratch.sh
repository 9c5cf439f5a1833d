# A test's scratch folder, $WORK, and the processes it starts, $PIDS (add each
# with PIDS+=($!)): at exit every one is stopped and the folder removed, or
# kept when KEEP is set, to read after a failure. Source it first, with the
# test's name: source scratch.sh NAME.

WORK=$(mktemp -d "/tmp/westnet-${1:-test}.XXXXXX")
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

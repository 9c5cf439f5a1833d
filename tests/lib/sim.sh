# westnet-sim for the shell tests and benchmarks. Source it and set SIM to
# the simulator's path.

# start_sim [--log FILE] ARGS...: starts "$SIM" ARGS..., its stderr appended
# to FILE ($WORK/sim.err when not given), and waits 30 s at most for its first
# stdout line, "device: PATH": reading it waits exactly as long as the
# simulator needs. Sets SIM_PID, SIM_DEVICE (the pseudo-terminal), SIM_SAID
# (the line itself) and SIM_FD (its stdout, kept open). When it does not
# start: SIM_DEVICE is empty, what it said and its log go to stderr, and the
# answer is 1 (the caller exits or checks).
start_sim() {
    local log
    if [ "${1:-}" = "--log" ]; then
        log=$2
        shift 2
    else
        log="$WORK/sim.err"
    fi
    SIM_SAID=""
    SIM_DEVICE=""
    exec {SIM_FD}< <(exec "$SIM" "$@" 2>>"$log")
    SIM_PID=$!
    read -r -t 30 SIM_SAID <&"$SIM_FD"
    if [ "${SIM_SAID#device: }" = "$SIM_SAID" ] || [ -z "${SIM_SAID#device: }" ]; then
        echo "westnet-sim did not start: $SIM_SAID" >&2
        cat "$log" >&2
        return 1
    fi
    SIM_DEVICE=${SIM_SAID#device: }
}

# stop_sim [PID]: SIGTERM to the simulator (SIM_PID by default) and waits for
# it; answers its exit status.
stop_sim() {
    local pid=${1:-$SIM_PID} status=0
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || status=$?
    [ "$pid" = "$SIM_PID" ] && SIM_PID=""
    return "$status"
}

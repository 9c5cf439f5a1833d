# A mosquitto broker of the test's own, on 127.0.0.1 and a port that was
# free, with its files in $WORK. Source it after check.sh (it uses wait_for).

# free_port: a loopback TCP port nobody listens on now.
free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_broker [LINE...]: starts mosquitto, sets BROKER_PORT and BROKER_PID
# (the test stops it by that PID) and waits, 30 s at most, until it takes
# connections. Each LINE goes into its configuration ("persistence true").
start_broker() {
    BROKER_PORT=$(free_port)
    BROKER_LINES=("$@")
    run_broker
}
# restart_broker: the same broker again, on its port, with its files, once
# the test has stopped it.
restart_broker() { run_broker; }
run_broker() {
    {
        echo "listener $BROKER_PORT 127.0.0.1"
        echo "allow_anonymous true"
        echo "persistence_location $WORK/"
        if [ ${#BROKER_LINES[@]} -gt 0 ]; then
            printf '%s\n' "${BROKER_LINES[@]}"
        else
            echo "persistence false"
        fi
        [ "$(id -u)" -eq 0 ] && echo "user root"
    } >"$WORK/mosquitto.conf"
    mosquitto -c "$WORK/mosquitto.conf" 2>>"$WORK/mosquitto.err" &
    BROKER_PID=$!
    wait_for 30 broker_accepts
}
broker_accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$BROKER_PORT") 2>/dev/null; }

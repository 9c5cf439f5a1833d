# A mosquitto broker of the test's own, on 127.0.0.1 and a port that was
# free, with its files in $WORK. Source it after check.sh (it uses wait_for).

# free_port: a loopback TCP port nobody listens on now.
free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_broker [LINE...]: starts mosquitto, sets BROKER_PORT and BROKER_PID
# (the test stops it by that PID) and waits, 30 s at most, until it takes
# connections. The LINEs go at the end of its configuration (another
# listener, say).
start_broker() {
    BROKER_PORT=$(free_port)
    {
        echo "listener $BROKER_PORT 127.0.0.1"
        echo "allow_anonymous true"
        echo "persistence false"
        [ "$(id -u)" -eq 0 ] && echo "user root"
        local line
        for line in "$@"; do
            echo "$line"
        done
    } >"$WORK/mosquitto.conf"
    mosquitto -c "$WORK/mosquitto.conf" 2>"$WORK/mosquitto.err" &
    BROKER_PID=$!
    wait_for 30 broker_accepts
}
broker_accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$BROKER_PORT") 2>/dev/null; }
# restart_broker: the same broker again, on its port and with its
# configuration, once the test has stopped it (its session store survives
# with the LINEs "persistence true" and "persistence_location $WORK/").
restart_broker() {
    mosquitto -c "$WORK/mosquitto.conf" 2>>"$WORK/mosquitto.err" &
    BROKER_PID=$!
    wait_for 30 broker_accepts
}

# make_certificates DIR: a throw-away CA (DIR/ca.pem) and a certificate it
# signed for 127.0.0.1 (DIR/server.pem, DIR/server.key), for a TLS listener.
make_certificates() {
    local dir=$1
    mkdir -p "$dir"
    echo "subjectAltName=IP:127.0.0.1" >"$dir/san.ext"
    (
        cd "$dir" &&
            openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
                -keyout ca.key -out ca.pem -days 2 -subj /CN=westnet-test-ca &&
            openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
                -keyout server.key -out server.csr -subj /CN=127.0.0.1 &&
            openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
                -out server.pem -days 2 -extfile san.ext && chmod 644 server.key
    ) >"$dir/openssl.log" 2>&1
}

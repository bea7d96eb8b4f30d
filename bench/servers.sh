# bench/servers.sh: starting and stopping the servers under load. Sourced
# by smoke.sh and run.sh, inside a network namespace of their own.

BENCH_PIDS=()

# bench_wait_for FILE TEXT SECONDS: true once FILE holds TEXT.
bench_wait_for() {
    local deadline=$((SECONDS + $3))
    until grep -aqF -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -ge "$deadline" ] && return 1
        sleep 0.02
    done
}

bench_loopback_up() {
    ip link set lo up
}

# bench_start_host BIN_DIR LOG: the host server stand-in on 127.0.0.1:7113.
bench_start_host() {
    "$1/wcsrvd" >"$2" 2>&1 &
    HOST_PID=$!
    BENCH_PIDS+=("$HOST_PID")
    bench_wait_for "$2" "wcsrvd: serving" 5 || { echo "bench: wcsrvd did not start" >&2; return 1; }
}

# bench_start_quillet BIN_DIR LOG: quillet on port 113; sets QUILLET_PID and
# NOTIFY_PORT, the notification port it announced.
bench_start_quillet() {
    "$1/quillet" >"$2" 2>&1 &
    QUILLET_PID=$!
    BENCH_PIDS+=("$QUILLET_PID")
    bench_wait_for "$2" "Started to Listen for IDENT Connections" 5 ||
        { echo "bench: quillet did not start" >&2; cat "$2" >&2; return 1; }
    NOTIFY_PORT=$(grep -a -o 'Using Port Number [0-9]*' "$2" | awk '{print $4}')
}

# bench_stop PID: ends one server we started and waits for it.
bench_stop() {
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return 0
}

bench_stop_all() {
    local p
    for p in "${BENCH_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    wait 2>/dev/null
    return 0
}

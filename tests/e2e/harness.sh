# tests/e2e/harness.sh: what the scenario scripts over the real programs
# share. Sourced after BIN (the build directory) is set; it makes a scratch
# directory, and stops every program it started when the script ends.

WORK=$(mktemp -d)
LOG=$WORK/quillet.log
ERR=$WORK/quillet.err
HOST=$WORK/wcsrvd.out
pids=()
failures=0

cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# wait_for FILE TEXT [SECONDS]: true once FILE holds TEXT.
wait_for() {
    local deadline=$((SECONDS + ${3:-10}))
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.05
    done
}

# start_host [WCSRVD OPTIONS...]: the host server stand-in.
start_host() {
    "$BIN/wcsrvd" --name "Test Board" --regstring "REG-0001" "$@" >"$HOST" 2>&1 &
    pids+=($!)
    wait_for "$HOST" "wcsrvd: serving" 5 || fail "wcsrvd did not start: $(cat "$HOST")"
}

# start_quillet [PROGRAM [PREFIX...]]: the console program, by default the
# shipped one, optionally started through a command such as prlimit.
start_quillet() {
    local program=${1:-$BIN/quillet}
    shift || true
    "$@" "$program" >"$LOG" 2>"$ERR" &
    QUILLET=$!
    pids+=($QUILLET)
}

# The log with its CR LF line ends turned into plain line ends.
log_lines() {
    tr -d '\r' <"$LOG"
}

# ready: waits for the IDENT listener; NOTIFY_PORT is then the notification
# port the log announced.
ready() {
    wait_for "$LOG" "- Started to Listen for IDENT Connections" 10 ||
        fail "IDENT listener did not start: $(log_lines)"
    NOTIFY_PORT=$(log_lines | sed -n 's/^- Using Port Number //p')
}

# stop_quillet: SIGTERM must end it with status 0.
stop_quillet() {
    kill -TERM "$QUILLET"
    wait "$QUILLET"
    local status=$?
    [ $status -eq 0 ] || fail "quillet ended with status $status on SIGTERM"
}

# field TEXT WIDTH: a text padded with NULs to its field's width.
field() {
    printf '%s' "$1"
    head -c $(($2 - ${#1})) /dev/zero
}

# record NODE REMOTE LOCAL NAME: a Connect record, 150 bytes.
record() {
    field C 4; field "$1" 5; field "$2" 6; field "$3" 6; field "$4" 129
}

# finish NAME: the scenario's verdict, with the log when it failed.
finish() {
    if [ $failures -gt 0 ]; then
        echo "--- quillet log"; log_lines | tail -n 60; echo "--- stderr"; tail -n 40 "$ERR" 2>/dev/null
        exit 1
    fi
    echo "$1: passed"
}

# ---- Output that stalls or closes, and another host ----

# start_quillet_to FILE: the console program with its standard output going
# to FILE (a fifo whose reader the scenario controls) instead of the log.
start_quillet_to() {
    : >"$LOG"
    "$BIN/quillet" >"$1" 2>"$ERR" &
    QUILLET=$!
    pids+=($QUILLET)
}

# host_notify_port: the notification port as the host server registered it,
# for scenarios that cannot read the log.
host_notify_port() {
    sed -n 's/.*registered service "quillet" .* port \([0-9]*\)$/\1/p' "$HOST" | tail -n 1
}

# other_host ADDRESS...: a second network namespace joined by a veth pair
# plays another host; this side is 192.0.2.1, the other side holds the
# given addresses. OTHER is a process inside it, for nsenter.
other_host() {
    unshare -n sleep 120 &
    OTHER=$!
    pids+=($OTHER)
    sleep 0.2
    ip link add q-here type veth peer name q-there netns "$OTHER"
    ip addr add 192.0.2.1/24 dev q-here
    ip link set q-here up
    local a
    nsenter -t "$OTHER" -n ip link set lo up
    for a in "$@"; do nsenter -t "$OTHER" -n ip addr add "$a/24" dev q-there; done
    nsenter -t "$OTHER" -n ip link set q-there up
}

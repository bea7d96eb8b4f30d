# tests/support/harness.sh: starting, watching and stopping the real
# programs, for the scripts that drive them: the end-to-end, fault and load
# scenarios and the benchmarks. Sourced after BIN (the build directory) is
# set, inside a network namespace of the caller's own.
#
# The programs write to the files named by HOST (wcsrvd), LOG and ERR
# (quillet's standard output and error). harness_scratch makes a scratch
# directory WORK for them; a script that keeps its logs elsewhere sets the
# three names itself. Every program started here is in pids, and stop_all
# ends them.
#
# A failure is the caller's choice of two: fail counts it and the script
# goes on to check more, finish then ends it; fail_now ends it at once,
# for a step the rest depends on (a script whose every step depends on the
# one before sets FAIL_STOPS, and fail ends it at once too). Either way the
# programs' output is shown (show_outputs; tests/wine/harness.sh shows its
# own).
#
# Every IDENT query goes through exchange (expect_reply checks its answer),
# every user is registered through register; the peers bash cannot play
# are PEERS (peers.py here), run by PY (python3 unless the caller set it).
# shellcheck shell=bash

pids=()
failures=0
PY=${PY:-python3}
PEERS="$PY $(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/peers.py"

# harness_scratch: a scratch directory WORK holding the logs; when the
# script ends, whatever the harness started is stopped and WORK removed.
harness_scratch() {
    WORK=$(mktemp -d)
    LOG=$WORK/quillet.log
    ERR=$WORK/quillet.err
    HOST=$WORK/wcsrvd.out
    trap 'stop_all; rm -rf "$WORK"' EXIT
}

stop_all() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    pids=()
    return 0
}

# forget PID: a program that has ended, so that stop_all never signals
# another process that was given its id later.
forget() {
    local p kept=()
    for p in "${pids[@]}"; do [ "$p" = "$1" ] || kept+=("$p"); done
    pids=("${kept[@]}")
}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
    [ -z "${FAIL_STOPS:-}" ] || finish "${NAME:-scenario}"
}

fail_now() {
    fail "$@"
    finish "${NAME:-scenario}"
}

# wait_for FILE TEXT [SECONDS]: true once FILE holds TEXT.
wait_for() {
    local deadline=$((SECONDS + ${3:-10}))
    until grep -aqF -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.05
    done
}

# The kept log's day files in DIR, oldest first, as one text: a run may
# cross midnight (UTC), which starts the next day's file.
kept_days() {
    cat "$1"/quillet-*.log 2>/dev/null
}

# wait_kept DIR TEXT [SECONDS]: true once the kept log in DIR holds TEXT.
wait_kept() {
    local deadline=$((SECONDS + ${3:-10}))
    until kept_days "$1" | grep -aqF -- "$2"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.05
    done
}

# start_host [WCSRVD OPTIONS...]: the host server stand-in on 127.0.0.1:7113.
start_host() {
    "$BIN/wcsrvd" --name "Test Board" --regstring "REG-0001" "$@" >"$HOST" 2>&1 &
    HOST_PID=$!
    pids+=("$HOST_PID")
    wait_for "$HOST" "wcsrvd: serving" 5 || { fail "wcsrvd did not start: $(cat "$HOST")"; return 1; }
}

# The console program's switches. The pairs the scenarios register are no
# connections, so it answers from the node table alone; a scenario that
# makes its pairs real connections empties this.
QUILLET_SWITCHES=(--table-only)

# start_quillet [PROGRAM [PREFIX...]]: the console program, by default the
# shipped one, optionally started through a command such as prlimit or env.
start_quillet() {
    local program=${1:-$BIN/quillet}
    shift || true
    # Emptied here, not by the redirection in the background: a wait for a
    # line that follows must never read a previous copy's log.
    : >"$LOG"
    "$@" "$program" "${QUILLET_SWITCHES[@]}" >>"$LOG" 2>"$ERR" &
    QUILLET=$!
    pids+=("$QUILLET")
}

# The log with its CR LF line ends turned into plain line ends. Read
# into grep -q, which stops at the first match, tr may be cut off by
# SIGPIPE, which pipefail would take for the pipeline's failure: a found
# line must never count as missing.
log_lines() {
    tr -d '\r' <"$LOG" || [ $? -eq 141 ]
}

# ready: waits for the IDENT listener; NOTIFY_PORT is then the notification
# port the log announced.
ready() {
    wait_for "$LOG" "- Started to Listen for IDENT Connections" 10 ||
        { fail "IDENT listener did not start: $(log_lines)"; return 1; }
    NOTIFY_PORT=$(log_lines | sed -n 's/^- Using Port Number //p')
}

# stop_quillet: SIGTERM must end it with status 0.
stop_quillet() {
    kill -TERM "$QUILLET"
    wait "$QUILLET"
    local status=$?
    forget "$QUILLET"
    [ $status -eq 0 ] || fail "quillet ended with status $status on SIGTERM"
}

# stop_program PID: ends a program started in the background, whatever its
# exit status.
stop_program() {
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    forget "$1"
    return 0
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

# notify [ADDRESS]: standard input sent as one connection to the
# notification port (at ADDRESS, 127.0.0.1 unless given); waits up to 5 s
# for the program to close it.
notify() {
    bash -c "exec 3<>/dev/tcp/${1:-127.0.0.1}/$NOTIFY_PORT && cat >&3 && timeout 5 cat <&3 >/dev/null"
}

show_outputs() {
    echo "--- quillet log"; log_lines | tail -n 60; echo "--- stderr"; tail -n 40 "$ERR" 2>/dev/null
}

# user_connection NODE NAME: a board user's real connection to a chat
# server, from 127.0.0.1:40000 to 127.0.0.2:6667, made, registered for NAME
# on NODE and held by the board's client (NOTIFIER hold), as Quillet takes
# a record only from the program that holds its connection; USER_PID ends
# it. The record must be taken.
NOTIFIER=()
user_connection() {
    timeout 120 nc -d -l 127.0.0.2 6667 >/dev/null &
    pids+=($!)
    for _ in $(seq 100); do ss -Hltn 'sport = :6667' | grep -q . && break; sleep 0.05; done
    local out=${WORK:-$RUN}/hold_$1.out
    [ ${#NOTIFIER[@]} -gt 0 ] || NOTIFIER=("$BIN/palaver-notify")
    "${NOTIFIER[@]}" hold "$1" 127.0.0.2 6667 "$2" 40000 >"$out" 2>&1 &
    USER_PID=$!
    pids+=($USER_PID)
    wait_for "$out" "holds the connection" 30 || fail "the user's connection was not registered: $(cat "$out")"
    connected "$1" 5 || fail "no Connect line for node $1"
    if log_lines | grep -F -- "- ClientHandler Connect for node <$1> name <$2> refused"; then
        fail "the holder's record was refused"
    fi
}

# exchange PORT QUERY [SECONDS [SOURCE]]: one connection to 127.0.0.1:PORT,
# from SOURCE when given, that sends QUERY (printf's escapes, \xNN for any
# byte; empty sends nothing) and reads until the peer closes or SECONDS
# (10) pass. Prints "reply=b'...' closed=0|1 seconds=N first=N" (first: the
# seconds to the first reply, -1 for none).
exchange() {
    $PEERS exchange "$1" "$(printf '%b' "${2:-}" | od -An -v -tx1 | tr -d ' \n')" "${3:-10}" ${4:+"$4"}
}

# expect_reply QUERY REPLY [SECONDS [SOURCE]]: a query to port 113 gets
# exactly REPLY (printf's escapes), then the close, within SECONDS (10).
expect_reply() {
    local got want
    got=$(exchange 113 "$1" "${3:-10}" "${4:-}") || true
    want="reply=$(printf '%b' "$2" | $PY -c 'import sys; print(repr(sys.stdin.buffer.read()))') closed=1"
    [ "${got% seconds=*}" = "$want" ] || fail "query '$1'${4:+ from $4}: expected $want, got $got"
}

# wait_log TEXT [SECONDS]: true once the program's log holds TEXT, within
# SECONDS (10). (tests/wine/harness.sh reads the log from the window.)
wait_log() {
    wait_for "$LOG" "$1" "${2:-10}"
}

# connected NODE [SECONDS]: true once the log has the line for a Connect
# record on NODE, within SECONDS (5).
connected() {
    # fixed text: keep the two blanks
    wait_log "- ClientHandler Connect received on node  <$1>" "${2:-5}"
}

# register NODE REMOTE LOCAL NAME [SECONDS]: a user registered as the board
# registers one, through palaver-notify; its line must be logged within
# SECONDS (5).
register() {
    "$BIN/palaver-notify" connect "$1" "$2" "$3" "$4" || { fail "palaver-notify connect $1 failed"; return 0; }
    connected "$1" "${5:-5}" || fail "no Connect line for node $1"
}

# finish NAME: the scenario's verdict, with the programs' output when it
# failed.
finish() {
    if [ $failures -gt 0 ]; then
        show_outputs
        exit 1
    fi
    echo "$1: passed"
}

# ---- Output that stalls or closes, and another host ----

# start_quillet_to FILE: the console program with its standard output going
# to FILE (a fifo whose reader the scenario controls) instead of the log.
start_quillet_to() {
    : >"$LOG"
    "$BIN/quillet" "${QUILLET_SWITCHES[@]}" >"$1" 2>"$ERR" &
    QUILLET=$!
    pids+=($QUILLET)
}

# host_notify_port: the notification port as the host server registered it,
# for scenarios that cannot read the log.
host_notify_port() {
    sed -n 's/.*registered service "quillet" .* port \([0-9]*\)$/\1/p' "$HOST" | tail -n 1
}

# other_host [ADDRESS...]: a second network namespace joined by a veth
# pair plays another host; this side is 192.0.2.1, the other side holds the
# given addresses (192.0.2.2 when none is given). OTHER is a process inside
# it, for nsenter.
other_host() {
    [ $# -gt 0 ] || set -- 192.0.2.2
    unshare -n sleep 120 &
    OTHER=$!
    pids+=($OTHER)
    # The veth's far end can be moved once the namespace exists.
    local a
    for _ in $(seq 200); do
        [ "$(readlink /proc/$OTHER/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
        sleep 0.05
    done
    ip link add q-here type veth peer name q-there netns "$OTHER"
    ip addr add 192.0.2.1/24 dev q-here
    ip link set q-here up
    nsenter -t "$OTHER" -n ip link set lo up
    for a in "$@"; do nsenter -t "$OTHER" -n ip addr add "$a/24" dev q-there; done
    nsenter -t "$OTHER" -n ip link set q-there up
}

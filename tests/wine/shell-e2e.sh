#!/usr/bin/env bash
# tests/wine/shell-e2e.sh: the Windows program end to end. quillet.exe (the
# i686 or the x86_64 build) runs under Wine beside the Linux stand-in host
# server wcsrvd; a user's real connection, from port 40000 to a chat server
# on 127.0.0.2:6667, is made, registered and held by palaver-notify.exe, as
# the board's client does. The chat server's IDENT query on port 113 must
# get the USERID reply, another asker's the NO-USER reply; a record for the
# same pair from another Windows program must be refused. The log read back from the running window's message
# box by another Windows process must hold the start-up, registration and
# match lines in order. Started before the host server with
# --wait-for-host, it must wait and register, and register again when the
# host restarts. A second copy started while the user is registered must
# end with status 1, register nothing and bring the first copy's window
# up. Connect and Quit records and IDENT connections must show in the
# window's Statistics fields with exact counts. Finally the program is
# killed and started again, and its kept log (--log-dir) must hold the
# answer and the refusal of both queries, stamped with their time, from
# both runs, a file of a day long past gone; then it is quit from outside
# and must end with status 0. Before all that, without a host server and
# --wait-for-host, it must end by itself with status 0.
#
#   tests/wine/shell-e2e.sh [LINUX_BUILD_DIR] [WIN_BUILD_DIR]
#   (defaults build/linux and build/win64, as scripts/test.sh builds them)
#
# Isolation: the run happens inside scripts/wine.sh sandbox, in private
# network and mount namespaces with a wineserver and an X display of its
# own (see there why the wineserver must be inside).
set -euo pipefail
cd "$(dirname "$0")/../.."

LINUX_BUILD=$(realpath "${1:-build/linux}")
WIN_BUILD=$(realpath "${2:-build/win64}")
NEEDS=("$WIN_BUILD/palaver-notify.exe")

# Bounds on every wait, in seconds.
START_WAIT=60   # quillet up and both ports open
QUIT_WAIT=30    # quillet gone after the quit command
NO_HOST_WAIT=60 # quillet gone when no host server answers

# shellcheck source=harness.sh
. tests/wine/harness.sh

# The user's connection is real, so the answers are checked.
QUILLET_SWITCHES=()

# No host server yet: the program gives up and ends with status 0 (it may
# tell the user first, in a box that closes by itself).
started=$(now_ms)
start_exe "$RUN/no-host.out"
ended_with "$QUILLET" $NO_HOST_WAIT 0 "without a host server"
echo "shell-e2e: without a host server quillet.exe ended with status 0 after $(($(now_ms) - started)) ms"

# Started as the Run entry starts it, before the host server: it waits,
# tries again every 5 s, and is registered within 10 s of the host's start.
KEPT_DIR=$WINEPREFIX/drive_c/quillet-logs
mkdir -p "$KEPT_DIR"
: >"$KEPT_DIR/quillet-2000-01-01.log"
QUILLET_SWITCHES+=(--wait-for-host '--log-dir=C:\quillet-logs')
start_exe
quillet_pid=$QUILLET
for _ in $(seq $((START_WAIT * 2))); do
    probe log 2>/dev/null | grep -q "^Unable to connect to WINS Server" && break
    kill -0 $quillet_pid 2>/dev/null || fail_now "quillet.exe --wait-for-host ended without a host server"
    sleep 0.5
done
sleep 5
start_host --name "Tarnwell Test Board" --regstring "E2E-0001" || fail_now "no host server"
started=$(now_ms)
wait_for "$HOST" 'registered service "quillet"' 10 || fail_now "not registered within 10 s of the host's start"
echo "shell-e2e: quillet.exe, waiting for the host server, registered $(($(now_ms) - started)) ms after its start"

# Up when the IDENT port is open.
wait_up $quillet_pid $START_WAIT
echo "shell-e2e: quillet.exe listening $(($(now_ms) - started)) ms after the host server started"
[ -e "$KEPT_DIR/quillet-2000-01-01.log" ] && fail_now "the kept log's expired file was kept"

NOTIFIER=("$WINE" "$WIN_BUILD/palaver-notify.exe")
user_connection 3 alice

# A second start (a double click on top of the logon start) must leave the
# running copy alone: no registration of its own, and the first copy's
# window shown instead.
second=0
timeout 60 "$WINE" "$WIN_BUILD/shell/quillet.exe" >"$RUN/second.out" 2>&1 || second=$?
[ $second = 1 ] || fail_now "the second copy ended with status $second, expected 1"
[ "$(grep -c 'registered service' "$HOST")" = 1 ] || fail_now "the second copy registered too"
shown=0
for _ in $(seq 50); do
    probe shown && { shown=1; break; }
    sleep 0.1
done
[ $shown = 1 ] || fail_now "the second start did not bring the first copy's window up"
echo "shell-e2e: a second copy ended with status 1 and showed the first"

# The reply comes after the server's 2 s wait, and the server closes the
# connection 2 s after it; the asker reads until then. The chat server is
# named, another asker is not.
asked=$(now_ms)
expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : alice\r\n' 20 127.0.0.2
echo "shell-e2e: IDENT reply whole after $(($(now_ms) - asked)) ms: 40000,6667 : USERID : UNIX : alice"
expect_reply '40000 , 6667\r\n' '40000,6667 : ERROR : NO-USER \r\n' 20 127.0.0.3
echo "shell-e2e: another asker got: 40000,6667 : ERROR : NO-USER "

# The log, read from the window by another process, in order.
probe log >"$LOG" || fail_now "could not read the log from the window"
expect_in_order() {
    local at=0 line n
    for line in "$@"; do
        n=$(tail -n +$((at + 1)) "$LOG" | tr -d '\r' | grep -n -F -x -m1 -- "$line" | cut -d: -f1) ||
            fail_now "log line [$line] missing or out of order"
        at=$((at + n))
    done
}
expect_in_order \
    "Quillet - b.03a" \
    "- Server Initiliased" \
    "- Connecting to WINS Server" \
    "- Connected to WINS Server" \
    "- Connected to Tarnwell Test Board" \
    "- Started to Listen for Palaver Connections" \
    "- ClientHandler Connect received on node  <3>" \
    "- IdentHandler match found on node <3>" \
    "- IdentHandler no open connection for node <3> from <127.0.0.3> on <127.0.0.1>: its connection is with <127.0.0.2> on <127.0.0.1>"
grep -q -F -x -- "- Started to Listen for IDENT Connections" <(tr -d '\r' <"$LOG") ||
    fail_now "the IDENT listener's line is missing"
echo "shell-e2e: log read back from the window ($(wc -c <"$LOG") bytes), lines in order:"
tr -d '\r' <"$LOG" | sed 's/^/    /'

# The Statistics fields: the window copies the counts a few times a second.
# So far one Connect record and two IDENT connections; add a Connect and a
# Quit, and an IDENT connection that closes without a query.
"${NOTIFIER[@]}" connect 5 6667 40000 bob || fail_now "palaver-notify.exe connect failed"
wait_log "- ClientHandler Connect for node <5> name <bob> refused: the connection from port <40000> to port <6667> is another program's" 10 ||
    fail_now "another program's record for the pair was not refused: $(log_lines | tail -n 3)"
echo "shell-e2e: another Windows program's record for the same pair was refused"
"$BIN/palaver-notify" quit 5 || fail_now "quit failed"
exec 3<>/dev/tcp/127.0.0.1/113
exec 3<&-
stats=
for _ in $(seq 100); do
    stats=$(probe stats | tr -d '\r')
    [ "$stats" = "2 1 3" ] && break
    sleep 0.1
done
[ "$stats" = "2 1 3" ] || fail_now "Statistics read [$stats], expected connects 2, quits 1, requests 3"
echo "shell-e2e: Statistics fields: Client Connects 2, Client Quits 1, Server Requests 3"

# The host server restarts and forgets the registration: the same port is
# registered again within 10 s, and the board's client finds it.
port=$(host_notify_port)
stop_program "$HOST_PID"
start_host --name "Tarnwell Test Board" --regstring "E2E-0001" || fail_now "no host server"
restarted=$(now_ms)
wait_for "$HOST" "registered service \"quillet\" vendor \"Tarnwell, New Zealand\" version 1 port $port" 10 ||
    fail_now "not registered again within 10 s of the host's restart"
echo "shell-e2e: registered port $port again $(($(now_ms) - restarted)) ms after the host server restarted"
register 7 6667 40000 carol
probe log >"$LOG" || fail_now "could not read the log from the window"
expect_in_order \
    "- Lost the WINS Server: waiting for it to come back" \
    "- Registered with the WINS Server again, Using Port Number $port" \
    "- ClientHandler Connect received on node  <7>"

# Killed, not quit, and started again: the kept log holds what the first
# run answered, stamped with the time of the queries, and the second run
# appends to it.
kill -KILL $quillet_pid
wait $quillet_pid 2>/dev/null || true
start_exe "$RUN/quillet2.out"
quillet_pid=$QUILLET
wait_up $quillet_pid $START_WAIT
kept_line() {
    kept_days "$KEPT_DIR" | grep -aF -- "$1" || fail_now "no kept line [$1]: $(kept_days "$KEPT_DIR" | tail -n 5)"
}
line=$(kept_line "- IdentHandler answered <127.0.0.2> about <40000,6667>: node <3> name <alice> USERID <alice>")
kept_line "- IdentHandler answered <127.0.0.3> about <40000,6667>: node <3> name <alice> NO-USER (asked from another address)" >/dev/null
stamp=$(date -u -d "$(echo "$line" | cut -c1-20)" +%s)
[ $((stamp - asked / 1000)) -le 5 ] && [ $((asked / 1000 - stamp)) -le 25 ] || fail_now "the answer's stamp is off: $line"
[ "$(kept_days "$KEPT_DIR" | grep -acF -- "- Server Initiliased")" = 2 ] || fail_now "the second run did not append"
echo "shell-e2e: kept across a kill: $line"

# Quit as the Quit button does; the program must end by itself with 0.
probe quit || fail_now "could not send the quit command"
ended_with $quillet_pid $QUIT_WAIT 0 "after the quit command"
echo "shell-e2e: quillet.exe quit with status 0"
finish "$NAME"

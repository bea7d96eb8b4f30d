#!/usr/bin/env bash
# End-to-end scenarios over the real quillet, wcsrvd and palaver-notify.
# Run as: unshare -rn bash e2e.sh SCENARIO BUILD_DIR (unshare -n for the
# scenarios the list marks root)
set -uo pipefail

SCENARIO=$1
BIN=$2
. "$(dirname "$0")/../support/harness.sh"
harness_scratch

# ends_within SECONDS: waits for quillet to end by itself; its exit status,
# or a failure when it is still running after SECONDS.
ends_within() {
    local deadline=$((SECONDS + $1))
    while kill -0 "$QUILLET" 2>/dev/null; do
        [ $SECONDS -ge $deadline ] && { fail "quillet still running after $1 s"; return 99; }
        sleep 0.1
    done
    wait "$QUILLET"
}

# host_fault_ends TEXT WCSRVD_OPTION: a host server that fails this way
# ends the program with status 0, its log ending in TEXT, before port 113
# is opened.
host_fault_ends() {
    start_host "$2"
    start_quillet
    ends_within 40
    status=$?
    [ $status -eq 0 ] || fail "exit status $status with wcsrvd $2"
    [ "$(tail -c ${#1} "$LOG")" = "$1" ] || fail "log ends: $(tail -c 60 "$LOG")"
    grep -qF "IDENT Connections" "$LOG" && fail "port 113 was opened"
}

ip link set lo up

# alice_checked: answers are checked; a user's real connection registered
# as alice on node 3 is named to the chat server at its other end.
alice_checked() {
    grep -qF "node table alone" "$LOG" && fail "answers unchecked: $(log_lines)"
    user_connection 3 alice
    expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : alice\r\n' 20 127.0.0.2
}

case "$SCENARIO" in
startup)
    # The start-up, line for line: answers checked, no mode line.
    QUILLET_SWITCHES=()
    start_host
    start_quillet
    ready
    expected="Quillet - b.03a
- Server Initiliased
- Running as root: --user=NAME gives root up once port 113 is bound
- Connecting to WINS Server
- Connected to WINS Server
- Connected to Test Board
- Reg string   REG-0001
- Creating WINS Server Context
- IDENT Service initialiased
- Service Name    quillet
- Service Vendor  Tarnwell, New Zealand
- Service Version 1
- Using Port Number @PORT@
- Started to Listen for Palaver Connections
- Started to Listen for IDENT Connections"
    port=$NOTIFY_PORT
    [ -n "$port" ] && [ "$port" -gt 0 ] || fail "no notification port in the log"
    [ "$(log_lines)" = "${expected/@PORT@/$port}" ] || fail "start-up log differs:
$(log_lines)"
    grep -q "registered service \"quillet\" vendor \"Tarnwell, New Zealand\" version 1 port $port$" "$HOST" ||
        fail "wcsrvd did not get port $port: $(cat "$HOST")"
    [ "$(od -An -c "$LOG" | tr -d ' \n' | grep -o '\\r\\n' | wc -l)" -eq 15 ] ||
        fail "every start-up line ends in CR LF"
    stop_quillet
    ;;
identify)
    start_host
    start_quillet
    ready
    register 3 194 1234 alice
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n'
    grep -qF -- "- IdentHandler match found on node <3>" "$LOG" || fail "no match line"
    "$BIN/palaver-notify" quit 3 || fail "palaver-notify quit failed"
    wait_for "$LOG" "- ClientHandler Quit received on node <3>" 5 || fail "no Quit line"
    expect_reply '1234,194\r\n' '1234,194 : ERROR : NO-USER \r\n'
    grep -qF -- "- IdentHandler no match found" "$LOG" || fail "no no-match line"
    "$BIN/palaver-notify" connect 99999 1 2 x 2>/dev/null && fail "a node of six digits was sent"
    stop_quillet
    ;;
foreign)
    # A second namespace joined by a veth pair plays another host.
    start_host
    start_quillet
    ready
    other_host
    port=$NOTIFY_PORT
    nsenter -t "$OTHER" -n bash -c "exec 3<>/dev/tcp/192.0.2.1/$port && cat >&3" < <(record 3 194 1234 evil)
    wait_for "$LOG" "- ClientListen refused a connection from <192.0.2.2>: not this host" 5 ||
        fail "the other host's record was not refused: $(log_lines)"
    expect_reply '1234 , 194\r\n' '1234,194 : ERROR : NO-USER \r\n'
    # This host reaching its own outside address is still this host.
    record 4 194 1234 alice | notify 192.0.2.1
    connected 4 || fail "own address refused"
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n'
    stop_quillet
    ;;
no_host)
    # A switch it cannot read ends it at start, before the host is sought.
    "$BIN/quillet" --bogus >"$WORK/bogus.log" 2>"$WORK/bogus.err"
    status=$?
    [ $status -eq 2 ] || fail "exit status $status with --bogus"
    [ "$(cat "$WORK/bogus.err")" = "Quillet: unknown switch '--bogus'" ] || fail "--bogus: $(cat "$WORK/bogus.err")"
    [ -s "$WORK/bogus.log" ] && fail "--bogus logged: $(cat "$WORK/bogus.log")"
    start_quillet
    wait "$QUILLET"
    status=$?
    [ $status -eq 0 ] || fail "exit status $status without a host server"
    [ "$(tail -c 32 "$LOG")" = "Unable to connect to WINS Server" ] || fail "log ends: $(tail -c 60 "$LOG")"
    grep -qxF "Quillet: Unable to connect to WINS Server" "$ERR" || fail "no reason on standard error: $(cat "$ERR")"
    grep -qF "IDENT Connections" "$LOG" && fail "port 113 was opened"
    ;;
no_makewild)
    start_host --fail-makewild
    start_quillet
    wait "$QUILLET"
    status=$?
    [ $status -eq 0 ] || fail "exit status $status when the configuration is refused"
    [ "$(tail -c 34 "$LOG")" = "Unable to get Makewild information" ] || fail "log ends: $(tail -c 60 "$LOG")"
    grep -qxF "Quillet: Unable to get Makewild information" "$ERR" || fail "no reason on standard error: $(cat "$ERR")"
    grep -qF "IDENT Connections" "$LOG" && fail "port 113 was opened"
    ;;
no_context)
    start_host --fail-context
    start_quillet
    ready
    grep -qF "Unable to connect to Create Context" "$ERR" || fail "no message for the context: $(cat "$ERR")"
    grep -q 'registered service "quillet"' "$HOST" || fail "not registered after the context failed"
    stop_quillet
    ;;
port_taken)
    # Another program holds port 113 before quillet starts.
    timeout 60 nc -l 113 </dev/null >/dev/null &
    pids+=($!)
    for _ in $(seq 200); do
        ss -Hltn 'sport = :113' | grep -q . && break
        sleep 0.05
    done
    ss -Hltn 'sport = :113' | grep -q . || fail "nc did not take port 113"
    start_host
    start_quillet
    wait_for "$LOG" "- IndentListen LastError <" 10 || fail "no bind failure: $(log_lines)"
    log_lines | grep -A1 -- "^- IdentListen bind failure$" | grep -q "^- IndentListen LastError <98>$" ||
        fail "bind failure lines differ: $(log_lines)"
    register 5 6667 40000 bob
    stop_quillet
    ;;
split_record)
    # A Connect that arrives in pieces keeps its name.
    start_host
    start_quillet
    ready
    {
        record 7 6667 40000 carol | head -c 17
        sleep 0.3
        record 7 6667 40000 carol | tail -c +18 | head -c 10
        sleep 0.3
        record 7 6667 40000 carol | tail -c +28
    } | notify
    connected 7 || fail "no Connect line"
    expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : carol\r\n'
    stop_quillet
    ;;
restart)
    # Answered queries leave port 113's connections in TIME_WAIT; a restart
    # must still be able to listen there.
    start_host
    start_quillet
    ready
    expect_reply '1 , 2\r\n' '1,2 : ERROR : NO-USER \r\n'
    stop_quillet
    start_quillet
    ready
    # Ctrl-C ends it as SIGTERM does.
    kill -INT "$QUILLET"
    ends_within 10
    status=$?
    [ $status -eq 0 ] || fail "quillet ended with status $status on SIGINT"
    ;;
long_names)
    # A system name and a registration string longer than the 128
    # characters kept: both cut there, each log line whole.
    name=$(printf 'N%.0s' $(seq 150))
    reg=$(printf 'R%.0s' $(seq 150))
    start_host --name "$name" --regstring "$reg"
    start_quillet
    ready
    log_lines | grep -qx -- "- Connected to ${name:0:128}" || fail "system name line: $(log_lines | grep Connected)"
    log_lines | grep -qx -- "- Reg string   ${reg:0:128}" || fail "registration line: $(log_lines | grep Reg)"
    grep -qxF -- "- Reg string   ${reg:0:128}"$'\r' "$LOG" ||
        fail "the registration line does not end in CR LF"
    stop_quillet
    ;;
second_start)
    # A second copy while a user is being identified: it must end at once
    # with status 1 and a reason, whatever its switches, register nothing,
    # and leave the first copy serving the user's queries.
    start_host
    start_quillet
    ready
    register 3 194 1234 alice
    # A query under way while the second copy starts: its answer is checked
    # in the background, a failure written to first.out.
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n' >"$WORK/first.out" &
    asking=$!
    for _ in $(seq 100); do ss -Htn state established 'dport = :113' | grep -q . && break; sleep 0.05; done
    timeout 10 "$BIN/quillet" --no-such-switch >"$WORK/second.log" 2>"$WORK/second.err"
    status=$?
    [ $status -eq 1 ] || fail "the second copy ended with status $status"
    grep -qx "Quillet: another Quillet is already running on this host" "$WORK/second.err" ||
        fail "the second copy gave no reason: $(cat "$WORK/second.err")"
    [ -s "$WORK/second.log" ] && fail "the second copy logged: $(cat "$WORK/second.log")"
    [ "$(grep -c 'registered service' "$HOST")" -eq 1 ] || fail "registrations: $(cat "$HOST")"
    wait "$asking"
    [ -s "$WORK/first.out" ] && fail "the first copy's answer: $(cat "$WORK/first.out")"
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n'
    stop_quillet
    ;;
no_register)
    # The host refuses the registration: the log says so instead of
    # claiming the service initialised, and both ports are served anyway.
    start_host --fail-register
    start_quillet
    ready
    log_lines | grep -qx -- "- IDENT Service registration failure" || fail "no registration failure: $(log_lines)"
    grep -qF "IDENT Service initialiased" "$LOG" && fail "claims the service initialised"
    grep -q 'registered service' "$HOST" && fail "wcsrvd took the registration: $(cat "$HOST")"
    record 6 6667 40000 dave | notify
    connected 6 || fail "notification port not served"
    expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : dave\r\n'
    stop_quillet
    ;;
host_address)
    # A program on this host bound to another of its addresses may send
    # records. Even with binding to any address allowed, another host may
    # not: the check is against the interface list.
    ip addr add 10.7.0.1/32 dev lo
    sysctl -qw net.ipv4.ip_nonlocal_bind=1 || fail "can't allow non-local binding"
    start_host
    start_quillet
    ready
    port=$NOTIFY_PORT
    record 4 194 1234 alice | timeout 10 nc -s 10.7.0.1 127.0.0.1 "$port"
    connected 4 || fail "second address refused: $(log_lines)"
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n'
    other_host
    nsenter -t "$OTHER" -n bash -c "exec 3<>/dev/tcp/192.0.2.1/$port && cat >&3" < <(record 5 194 1234 evil)
    wait_for "$LOG" "- ClientListen refused a connection from <192.0.2.2>: not this host" 5 ||
        fail "the other host's record was not refused: $(log_lines)"
    grep -qF "node  <5>" "$LOG" && fail "the other host's record was taken"
    stop_quillet
    ;;
host_hangs)
    # The host server takes the connection and never answers.
    host_fault_ends "Unable to connect to WINS Server" --hang
    ;;
host_drops)
    # The host server answers the greeting, then closes the connection.
    host_fault_ends "Unable to get Makewild information" --drop-after-hello
    ;;
bad_makewild)
    # The configuration answer lacks its registration field.
    host_fault_ends "Unable to get Makewild information" --bad-makewild
    ;;
squatted_lock)
    # Another program holds the name of the lock of one Quillet per host
    # (bound, as any account may, not listening): Quillet runs anyway and
    # says why.
    python3 -c 'import socket, time; s = socket.socket(socket.AF_UNIX); s.bind("\0quillet/one-per-host"); print("held", flush=True); time.sleep(60)' >"$WORK/squat.out" &
    pids+=($!)
    wait_for "$WORK/squat.out" held 10 || fail_now "the lock's name could not be taken"
    start_host
    start_quillet
    ready
    log_lines | grep -qx -- "- The lock of one Quillet per host is held by no Quillet (uid <-1>): running without it" ||
        fail "no line for the lock: $(log_lines | head -n 4)"
    expect_reply '1 , 2\r\n' '1,2 : ERROR : NO-USER \r\n'
    stop_quillet
    ;;
real_pairs)
    # The pairs are real connections: chat servers listening on further
    # loopback addresses, a user's connection to one from port 40000, made,
    # registered and held by the board's client. Only that server is told
    # the user's name; another asker gets NO-USER, with both addresses
    # said. Records for that pair from another program or another account,
    # a Quit from another account, and a record naming no connection are
    # refused and change nothing; once the connection has ended its pair
    # answers NO-USER. Run as real root, with nobody as the other account.
    QUILLET_SWITCHES=()
    start_host
    start_quillet
    ready
    alice_checked
    expect_reply '40000 , 6667\r\n' '40000,6667 : ERROR : NO-USER \r\n' 20 127.0.0.3
    log_lines | grep -qxF -- "- IdentHandler no open connection for node <3> from <127.0.0.3> on <127.0.0.1>: its connection is with <127.0.0.2> on <127.0.0.1>" ||
        fail "no line for the other asker: $(log_lines | tail -n 3)"
    nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    refused() {
        wait_log "- ClientHandler $1 for node <$2> name <$3> refused: $4" 5 || fail "$1 on node $2 not refused ($4): $(log_lines | tail -n 3)"
    }
    "$BIN/palaver-notify" connect 5 6667 40000 mallory || fail "palaver-notify connect failed"
    refused Connect 5 mallory "the connection from port <40000> to port <6667> is another program's"
    "${nobody[@]}" "$BIN/palaver-notify" connect 6 6667 40000 eve || fail "palaver-notify as nobody failed"
    refused Connect 6 eve "the connection from port <40000> to port <6667> is another account's"
    "${nobody[@]}" "$BIN/palaver-notify" quit 3 || fail "palaver-notify quit as nobody failed"
    refused Quit 3 alice "the connection from port <40000> to port <6667> is another account's"
    "$BIN/palaver-notify" connect 7 6667 40001 ghost || fail "palaver-notify connect failed"
    refused Connect 7 ghost "no connection from port <40001> to port <6667> on this host"
    expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : alice\r\n' 20 127.0.0.2
    log_lines | grep -q "lost its port pair" && fail "a refused record freed a node"
    # The user's client ends without a Quit; then anyone may send it.
    stop_program "$USER_PID"
    expect_reply '40000 , 6667\r\n' '40000,6667 : ERROR : NO-USER \r\n' 20 127.0.0.2
    "${nobody[@]}" "$BIN/palaver-notify" quit 3 || fail "palaver-notify quit as nobody failed"
    for _ in $(seq 50); do [ "$(log_lines | grep -c "Quit received on node <3>")" -eq 2 ] && break; sleep 0.1; done
    [ "$(log_lines | grep -c "Quit for node <3> name <alice> refused")" -eq 1 ] || fail "the Quit for an ended connection was refused"
    stop_quillet
    ;;
shared_port)
    # Two chat servers on the same port, each reached from local port 40000
    # by a program of its own: both connections are open before either
    # record is sent, and each server is told its own user. Then the same
    # where only the account can be compared (--user), the records sent
    # each right after its connect. Run as real root.
    for phase in program account; do
        QUILLET_SWITCHES=()
        wait_a=1500
        if [ $phase = account ]; then
            QUILLET_SWITCHES=(--user=nobody)
            wait_a=0
        fi
        start_host
        start_quillet
        ready
        for server in 127.0.0.2 127.0.0.4; do
            timeout 60 nc -d -l $server 6667 >/dev/null &
            pids+=($!)
        done
        for _ in $(seq 100); do [ "$(ss -Hltn 'sport = :6667' | wc -l)" -eq 2 ] && break; sleep 0.05; done
        "$BIN/palaver-notify" hold 3 127.0.0.2 6667 alice 40000 $wait_a >"$WORK/a.out" 2>&1 &
        pids+=($!)
        [ $phase = account ] && { wait_for "$WORK/a.out" "holds the connection" 10 || fail "$phase: alice not held: $(cat "$WORK/a.out")"; }
        "$BIN/palaver-notify" hold 5 127.0.0.4 6667 bob 40000 >"$WORK/b.out" 2>&1 &
        pids+=($!)
        wait_for "$WORK/a.out" "holds the connection" 10 || fail "$phase: alice not held: $(cat "$WORK/a.out")"
        wait_for "$WORK/b.out" "holds the connection" 10 || fail "$phase: bob not held: $(cat "$WORK/b.out")"
        [ "$(ss -Htn state established '( sport = :40000 )' | wc -l)" -eq 2 ] || fail "$phase: port 40000 not shared"
        log_lines | grep "refused" && fail "$phase: a record was refused"
        expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : alice\r\n' 20 127.0.0.2
        expect_reply '40000 , 6667\r\n' '40000,6667 : USERID : UNIX : bob\r\n' 20 127.0.0.4
        stop_quillet
        stop_all
    done
    ;;
kept_log)
    # With --log-dir every line is kept with the UTC time it was made: an
    # answered query and a refused one, both still there after the program
    # is killed and started again, which appends; a file of a day past
    # --log-days goes at start. A folder that cannot be written costs one
    # line, and the answers go on.
    dir=$WORK/logs
    mkdir -p "$dir"
    : >"$dir/quillet-2000-01-01.log"
    QUILLET_SWITCHES=(--log-dir="$dir" --log-days=3)
    first_day=$(date -u +%F)
    start_host
    start_quillet
    ready
    [ -e "$dir/quillet-2000-01-01.log" ] && fail "the expired file was kept"
    alice_checked
    asked=$(date -u +%s)
    expect_reply '40000 , 6667\r\n' '40000,6667 : ERROR : NO-USER \r\n' 20 127.0.0.3
    expect_reply '1 , 2\r\n' '1,2 : ERROR : NO-USER \r\n'
    kill -KILL "$QUILLET"
    wait "$QUILLET" 2>/dev/null
    forget "$QUILLET"
    start_quillet
    ready
    stop_quillet
    for day in $(ls "$dir"); do
        case $day in
        "quillet-$first_day.log" | "quillet-$(date -u +%F).log") ;;
        *) fail "files kept: $(ls "$dir")" ;;
        esac
    done
    kept() { kept_days "$dir" | grep -aF -- "$1"; }
    line=$(kept "- IdentHandler answered <127.0.0.2> about <40000,6667>: node <3> name <alice> USERID <alice>") ||
        fail "no line for the answer: $(kept_days "$dir" | tail -n 5)"
    kept "- IdentHandler answered <127.0.0.3> about <40000,6667>: node <3> name <alice> NO-USER (asked from another address)" >/dev/null ||
        fail "no line for the refusal: $(kept_days "$dir" | tail -n 5)"
    stamp=$(date -u -d "$(echo "$line" | cut -c1-20)" +%s)
    [ $((stamp - asked)) -le 5 ] && [ $((asked - stamp)) -le 25 ] || fail "the answer's stamp is off: $line"
    [ "$(kept "- Server Initiliased" | wc -l)" -eq 2 ] || fail "the second run did not append"
    kept "- IdentHandler queries from <127.0.0.1> match no node: counted a minute at a time" >/dev/null ||
        fail "unmatched queries not counted"
    kept "no match found" && fail "unmatched queries kept one by one"
    file=$dir/quillet-$first_day.log
    QUILLET_SWITCHES=(--table-only --log-dir="$file")
    start_quillet
    ready
    register 3 194 1234 alice
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n'
    [ "$(log_lines | grep -c "^- Kept log cannot open <$file/")" -eq 1 ] || fail "not one line for the folder: $(log_lines | head)"
    stop_quillet
    # A full disk: the answers go on and one line says so; once there is
    # room, the file says how many lines it lost and holds no part of one.
    full=$WORK/full
    mkdir -p "$full"
    mount -t tmpfs -o size=64k tmpfs "$full" || fail_now "no tmpfs for the full disk"
    dd if=/dev/zero of="$full/fill" bs=1k 2>/dev/null || true
    QUILLET_SWITCHES=(--table-only --log-dir="$full")
    : >"$LOG"
    start_quillet
    ready
    register 3 194 1234 alice
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n'
    wait_log "- Kept log cannot write <$full/quillet-" 5 || fail "no line for the full disk: $(log_lines | tail -n 3)"
    rm "$full/fill"
    register 4 195 1235 bob
    wait_kept "$full" "lines could not be written" 10 || fail "no count of lost lines: $(kept_days "$full")"
    wait_kept "$full" "Connect taken on node <4>" 10 || fail "no line after the disk had room: $(kept_days "$full")"
    kept_days "$full" | grep -avE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z - ' && fail "a line without its stamp"
    [ "$(log_lines | grep -c "^- Kept log cannot write")" -eq 1 ] || fail "not one line for the full disk"
    wait_log "- Kept log writing again" 5 || fail "no line for the disk writable again"
    stop_quillet
    umount "$full"
    ;;
journal)
    # Under systemd with its output on the journal's stream, each line
    # starts with its syslog priority: a failure <3>, a refused record <4>,
    # the rest <6>. JOURNAL_STREAM naming another file leaves the output
    # exactly as it is.
    timeout 60 nc -l 127.0.0.1 113 </dev/null >/dev/null &
    pids+=($!)
    for _ in $(seq 100); do ss -Hltn 'sport = :113' | grep -q . && break; sleep 0.05; done
    start_host
    : >"$LOG"
    start_quillet "$BIN/quillet" env JOURNAL_STREAM="$(stat -c '%d:%i' "$LOG")"
    wait_log "Started to Listen for Palaver Connections" 10 || fail "no start-up: $(log_lines)"
    register 300 194 1234 alice
    wait_log "is outside the node table" 5 || fail "no line for node 300"
    log_lines | head -n 1 | grep -qx "<6>Quillet - b.03a" || fail "first line: $(log_lines | head -n 1)"
    log_lines | grep -qx "<3>- IdentListen bind failure" || fail "no failure at <3>: $(log_lines)"
    log_lines | grep -qx "<4>- ClientHandler node <300> is outside the node table, ignored" ||
        fail "no warning at <4>: $(log_lines)"
    log_lines | grep -v '^<[346]>' | grep . && fail "a line without its priority"
    stop_quillet
    start_quillet "$BIN/quillet" env JOURNAL_STREAM=1:1
    wait_log "Started to Listen for Palaver Connections" 10 || fail "no start-up: $(log_lines)"
    log_lines | grep -q '^<' && fail "priorities without the journal: $(log_lines | head -n 2)"
    stop_quillet
    ;;
irc_names)
    # With --irc-names, names some chat server would cut or refuse, all
    # online at once, are answered with idents of at most 10 letters and
    # digits, distinct whatever their case, the same after a restart.
    # Without it a name is answered as it is, with a line saying why.
    names=("Alice Smith" bbs_alice bbs.alice "$(printf 'x%.0s' $(seq 30))" abcdefghij1 abcdefghij2)
    QUILLET_SWITCHES=(--table-only --irc-names)
    start_host
    for round in 1 2; do
        start_quillet
        ready
        for i in "${!names[@]}"; do
            register "$i" $((6000 + i)) $((40000 + i)) "${names[$i]}"
        done
        asks=()
        for i in "${!names[@]}"; do
            exchange 113 "$((40000 + i)) , $((6000 + i))\r\n" 20 |
                sed 's/^reply=b.*USERID : UNIX : \(.*\)\\r\\n. closed=.*/\1/' >"$WORK/ident.$i" &
            asks+=($!)
        done
        wait "${asks[@]}"
        cat "$WORK"/ident.* >"$WORK/round.$round"
        grep -vxE '[A-Za-z0-9]{1,10}' "$WORK/round.$round" && fail "not an IRC-safe ident"
        stop_quillet
    done
    echo "idents: $(tr "\n" " " <"$WORK/round.1")"
    cmp -s "$WORK/round.1" "$WORK/round.2" || fail "idents changed with a restart: $(paste "$WORK"/round.*)"
    [ "$(sort -fu "$WORK/round.1" | wc -l)" -eq ${#names[@]} ] || fail "idents shared: $(cat "$WORK/round.1")"
    grep -qx -- "- ClientHandler node <0> name <Alice Smith> answered as <AliceSm2mo>" <(log_lines) ||
        fail "no line for the mapping: $(log_lines | grep -m1 'node <0> name')"
    QUILLET_SWITCHES=(--table-only)
    start_quillet
    ready
    register 1 194 1234 "Alice Smith"
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : Alice Smith\r\n'
    log_lines | grep -qx -- "- ClientHandler node <1> name <Alice Smith> may be refused or cut by chat servers: it has a blank, more than 10 characters (--irc-names sends a name they all keep)" ||
        fail "no line saying why the name may be cut: $(log_lines | tail -n 3)"
    stop_quillet
    ;;
host_late)
    # Started 5 s before the host server, it waits, says why once with a
    # line end, and carries on with the usual start-up as soon as the host
    # answers. The host then restarts and forgets the registration: Quillet
    # answers from its table meanwhile, and registers the same port again.
    QUILLET_SWITCHES=(--table-only --wait-for-host)
    start_quillet
    sleep 5
    start_host
    ready
    port=$NOTIFY_PORT
    [ "$(log_lines | grep -cx "Unable to connect to WINS Server")" -eq 1 ] || fail "reason not said once: $(log_lines)"
    grep -qaF $'Unable to connect to WINS Server\r\n- Connected to WINS Server\r\n' "$LOG" ||
        fail "start-up did not carry on after the reason line: $(log_lines)"
    register 3 194 1234 alice
    stop_program "$HOST_PID"
    wait_for "$LOG" "- Lost the WINS Server: waiting for it to come back" 10 || fail "the loss went unseen: $(log_lines)"
    expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n'
    start_host
    wait_for "$LOG" "- Registered with the WINS Server again, Using Port Number $port" 10 || fail "not again: $(log_lines)"
    register 4 194 1235 bob
    expect_reply '1235 , 194\r\n' '1235,194 : USERID : UNIX : bob\r\n'
    stop_quillet
    ;;
host_wait_ends)
    # --wait-for-host=3 gives up after about 3 s, ending as without waiting,
    # whether no host server listens or one accepts and never answers (the
    # try under way is cut short).
    QUILLET_SWITCHES=(--table-only --wait-for-host=3)
    for host in none --hang; do
        [ $host = none ] || start_host $host
        start=$(date +%s%N)
        start_quillet
        ends_within 15
        status=$?
        ms=$((($(date +%s%N) - start) / 1000000))
        [ $status -eq 0 ] || fail "exit status $status with host $host"
        [ $ms -ge 2900 ] && [ $ms -le 5000 ] || fail "ended after $ms ms with host $host"
        [ "$(tail -c 32 "$LOG")" = "Unable to connect to WINS Server" ] || fail "log ends: $(tail -c 60 "$LOG")"
        grep -qF "IDENT Connections" "$LOG" && fail "port 113 was opened"
    done
    ;;
drop_root)
    # Run as real root (unshare -n): --user=nobody binds port 113, then
    # holds no uid, gid or capability of root while it answers; an account
    # that does not exist ends it at start; a bind that failed is said at
    # its place, root given up all the same. Then as the service unit runs it.
    [ "$(awk '{print $1, $3}' /proc/self/uid_map)" = "0 4294967295" ] || fail_now "not real root"
    "$BIN/quillet" --user=no-such-account >"$WORK/noacct.log" 2>"$WORK/noacct.err"
    status=$?
    [ $status -eq 1 ] || fail "exit status $status for an unknown account"
    grep -qxF "Quillet: there is no account 'no-such-account' to run as (--user)" "$WORK/noacct.err" ||
        fail "unknown account: $(cat "$WORK/noacct.err")"
    QUILLET_SWITCHES=(--table-only --user=nobody)
    for phase in free taken; do
        if [ $phase = taken ]; then
            timeout 60 nc -l 113 </dev/null >/dev/null &
            HOLDER=$!
            pids+=($HOLDER)
            for _ in $(seq 200); do ss -Hltn 'sport = :113' | grep -q . && break; sleep 0.05; done
        fi
        start_host
        start_quillet
        wait_for "$LOG" "- Started to Listen for Palaver Connections" 10 || fail "no start-up: $(log_lines)"
        register 3 194 1234 alice
        ids=$(awk '/^(Uid|Gid):/ {print $2, $3, $4, $5} /^Cap(Prm|Eff):/ {print $2}' /proc/$QUILLET/status | tr '\n' ' ')
        [ "$ids" = "65534 65534 65534 65534 65534 65534 65534 65534 0000000000000000 0000000000000000 " ] ||
            fail "$phase: ids and capabilities while serving: $ids"
        if [ $phase = free ]; then
            expect_reply '1234 , 194\r\n' '1234,194 : USERID : UNIX : alice\r\n'
        else
            log_lines | grep -A1 -- "^- IdentListen bind failure$" | grep -q "^- IndentListen LastError <98>$" ||
                fail "bind failure lines differ: $(log_lines)"
        fi
        grep -qF "Running as root" "$LOG" && fail "said it runs as root"
        stop_quillet
        stop_program "$HOST_PID"
    done
    stop_program "$HOLDER"
    # As the service unit starts it: an account of no privilege that may
    # bind port 113 and nothing more, whose answers are still checked.
    QUILLET_SWITCHES=(--wait-for-host)
    start_host
    start_quillet "$BIN/quillet" setpriv --reuid=65534 --regid=65534 --clear-groups --nnp \
        --inh-caps=-all,+net_bind_service --ambient-caps=-all,+net_bind_service --bounding-set=-all,+net_bind_service
    ready
    alice_checked
    stop_quillet
    ;;
*)
    echo "unknown scenario $SCENARIO"
    exit 2
    ;;
esac

finish "e2e $SCENARIO"

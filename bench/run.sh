#!/usr/bin/env bash
# bench/run.sh: the benchmark set. Run inside a private network namespace
# (bench/bench.sh does that) as:
#   bash run.sh RELEASE_BIN_DIR BENCH_BIN_DIR LOAD_BIN_DIR OUT_DIR
# RELEASE_BIN_DIR holds the shipped program, BENCH_BIN_DIR the build whose
# IDENT answers skip the 2 s waits (rate figures only). Each measurement
# appends the tools' RESULT lines, the server's /proc peaks and the kernel's
# listen-queue counters to a file in OUT_DIR named for it; report.py reads
# them. Every load is bounded in count and time.
set -uo pipefail

REL=$1
NOWAIT=$2
LOADDIR=$3
OUT=$4
HERE=$(cd "$(dirname "$0")" && pwd)
LOAD="$LOADDIR/quillet-load"
SHIM="$LOADDIR/libquillet-backlogshim.so"
BIN=$REL
. "$HERE/../tests/support/harness.sh"
# The logs and samples live in WORK, removed with the servers at the end.
harness_scratch

REPS=${BENCH_REPS:-3}
HOLD_N=${BENCH_HOLD_N:-19900}
RATE_N=${BENCH_RATE_N:-20000}
RECORDS_N=${BENCH_RECORDS_N:-20000}
OIDENTD_N=${BENCH_OIDENTD_N:-2000}
CURVE_NS=${BENCH_CURVE_NS:-"1000 2500 5000 10000 19900"}
# The comparison runs preload a short backlog in place of the system's
# longest, to show what a queue of five waiting connections costs.
SHORT_BACKLOG=5
# 19,900 connections need two processes' worth of descriptors; 100 source
# addresses keep each under the 1,024 connections quillet holds at once for
# one address (199 each), and clear of ephemeral ports in TIME_WAIT.
HOLD_OPTS=(--procs 2 --sources 100 --timeout-ms 30000 --run-limit-ms 45000)
# A query or record whose SYN was dropped waits 1, 3, 7, 15 s to retry; the
# rate runs stop after a minute whatever is left.
RATE_OPTS=(--timeout-ms 30000 --run-limit-ms 60000)

note() { echo "bench: $*" >&2; }

# The listen-queue counters of this namespace since the last call.
listen_counters() {
    nstat 2>/dev/null | awk '/ListenOverflows|TCPSynRetrans|TCPReqQFullDoCookies/ {printf "%s=%s ", $1, $2} END {print ""}' |
        sed 's/^/NSTAT /'
}

# server_cpu_ms PID: user plus system time the process has used so far.
server_cpu_ms() {
    awk -v hz="$(getconf CLK_TCK)" '{print int(($14 + $15) * 1000 / hz)}' "/proc/$1/stat"
}

# wait_port_free: waits until no socket but those in TIME_WAIT uses port
# 113, as after a server of 19,900 connections has gone, the kernel may
# still be closing some of them.
wait_port_free() {
    local deadline=$((SECONDS + 60))
    while [ -n "$(ss -Htan state all '( sport = :113 )' | grep -v TIME-WAIT)" ]; do
        if [ $SECONDS -ge $deadline ]; then
            note "port 113 is still in use:"
            ss -Htan state all '( sport = :113 )' | head -5 >&2
            return 1
        fi
        sleep 0.2
    done
}

# start_server BIN_DIR BACKLOG: a fresh quillet (BACKLOG "" keeps the
# program's own) with every node registered.
start_server() {
    wait_port_free
    if [ -n "$2" ]; then
        start_quillet "$1/quillet" env LD_PRELOAD="$SHIM" QUILLET_BENCH_BACKLOG="$2"
    else
        start_quillet "$1/quillet"
    fi
    ready || { stop_program "$QUILLET"; return 1; }
    "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count 256 --concurrency 4 >/dev/null ||
        { note "registering the nodes failed"; stop_program "$QUILLET"; return 1; }
}

stop_server() {
    stop_program "$QUILLET"
}

# measured_ref FILE LOAD_ARGS...: the same load against the plain
# thread-per-connection server (quillet-ref; with REF_ARGS=(--epoll), the
# minimal server on one epoll loop), with the same sampler.
REF_ARGS=()
measured_ref() {
    local file="$OUT/$1.txt"
    shift
    wait_port_free || return 1
    "$LOADDIR/quillet-ref" "${REF_ARGS[@]}" >"$WORK/ref.out" 2>&1 &
    local ref=$!
    pids+=("$ref")
    wait_for "$WORK/ref.out" "quillet-ref: serving" 5 || { note "quillet-ref: $(cat "$WORK/ref.out")"; return 1; }
    rm -f "$WORK/stop"
    python3 "$HERE/procsample.py" "$ref" 120 "$WORK/stop" >"$WORK/sample.out" &
    local sampler=$!
    sleep 0.3
    nstat -n
    "$LOAD" "$@" | tee -a "$file" | grep '^quillet-load' >&2
    listen_counters >>"$file"
    echo "LOADAVG $(cut -d' ' -f1 /proc/loadavg)" >>"$file"
    touch "$WORK/stop"
    wait "$sampler"
    cat "$WORK/sample.out" >>"$file"
    stop_program "$ref"
}

# measured FILE BIN_DIR BACKLOG LOAD_ARGS...: one load against a fresh
# quillet, with the /proc sampler and the counters around it. @NOTIFY_PORT@
# in LOAD_ARGS is the notification port the server announced.
measured() {
    local file="$OUT/$1.txt" bin=$2 backlog=$3
    shift 3
    start_server "$bin" "$backlog" || return 1
    set -- "${@//@NOTIFY_PORT@/$NOTIFY_PORT}"
    rm -f "$WORK/stop"
    python3 "$HERE/procsample.py" "$QUILLET" 120 "$WORK/stop" >"$WORK/sample.out" &
    local sampler=$!
    # Let the sampler read the idle server before the load begins.
    sleep 0.3
    nstat -n
    local cpu0
    cpu0=$(server_cpu_ms "$QUILLET")
    "$LOAD" "$@" | tee -a "$file" | grep '^quillet-load' >&2
    echo "SERVER cpu_ms=$(($(server_cpu_ms "$QUILLET") - cpu0))" >>"$file"
    listen_counters >>"$file"
    echo "LOADAVG $(cut -d' ' -f1 /proc/loadavg)" >>"$file"
    touch "$WORK/stop"
    wait "$sampler"
    cat "$WORK/sample.out" >>"$file"
    stop_server
}

# The machine as this run found it; the report prints these rather than
# assume them. somaxconn is this network namespace's own: the cap on the
# accept queue that quillet asks for.
{
    echo "MACHINE cores=$(nproc) mem_gib=$(awk '/MemTotal/ {printf "%.0f", $2/1048576}' /proc/meminfo)" \
        "kernel=$(uname -r) nofile_hard=$(ulimit -Hn) somaxconn=$(cat /proc/sys/net/core/somaxconn)"
    echo "LOAD start $(cut -d' ' -f1-3 /proc/loadavg) $(date -u '+%Y-%m-%d %H:%M UTC')"
} >"$OUT/machine.txt"

ip link set lo up
start_host || exit 1

note "start-up"
for rep in $(seq "$REPS"); do
    "$LOADDIR/quillet-startup" "$REL/quillet" 21 >>"$OUT/startup.txt" || exit 1
done

# Each hold run is followed by the same load against the plain server, so
# that both meet the same moment's machine.
note "hold, shipped program and plain server, $HOLD_N connections paced over 1 s"
for rep in $(seq "$REPS"); do
    measured hold_paced "$REL" "" hold --count "$HOLD_N" --pace-ms 1000 "${HOLD_OPTS[@]}"
    measured_ref ref_hold_paced hold --count "$HOLD_N" --pace-ms 1000 "${HOLD_OPTS[@]}"
done
note "hold, shipped program and plain server, $HOLD_N connections at once"
for rep in $(seq "$REPS"); do
    measured hold_once "$REL" "" hold --count "$HOLD_N" --pace-ms 0 "${HOLD_OPTS[@]}"
    measured_ref ref_hold_once hold --count "$HOLD_N" --pace-ms 0 "${HOLD_OPTS[@]}"
done

note "overhead against concurrency"
for n in $CURVE_NS; do
    measured "curve_$n" "$REL" "" hold --count "$n" --pace-ms 1000 "${HOLD_OPTS[@]}"
done

note "overhead against concurrency, backlog $SHORT_BACKLOG preloaded"
for n in $CURVE_NS; do
    measured "short_curve_$n" "$REL" "$SHORT_BACKLOG" hold --count "$n" --pace-ms 1000 "${HOLD_OPTS[@]}"
done

note "rate, build without waits, concurrency 256"
for rep in $(seq "$REPS"); do
    measured rate "$NOWAIT" "" rate --count "$RATE_N" --concurrency 256 "${RATE_OPTS[@]}"
done

# What asking the system for each answered query costs: the same rate run,
# its queries about real connections the generator holds and registers,
# with the answers checked (the default) and from the node table alone,
# side by side, and beside the least an epoll server can do.
REAL_OPTS=(--real-pairs 64 --register-port @NOTIFY_PORT@)
note "rate, build without waits, real connections: checked, table only, minimal epoll server"
for rep in $(seq "$REPS"); do
    QUILLET_SWITCHES=()
    measured rate_checked "$NOWAIT" "" rate --count "$RATE_N" --concurrency 256 "${REAL_OPTS[@]}" "${RATE_OPTS[@]}"
    QUILLET_SWITCHES=(--table-only)
    measured rate_table "$NOWAIT" "" rate --count "$RATE_N" --concurrency 256 "${REAL_OPTS[@]}" "${RATE_OPTS[@]}"
    REF_ARGS=(--epoll)
    measured_ref rate_epoll rate --count "$RATE_N" --concurrency 256 "${RATE_OPTS[@]}"
    REF_ARGS=()
done
note "hold, shipped program, answers checked, $HOLD_N connections about real connections at once"
QUILLET_SWITCHES=()
measured hold_checked "$REL" "" hold --count "$HOLD_N" --pace-ms 0 "${REAL_OPTS[@]}" "${HOLD_OPTS[@]}"
QUILLET_SWITCHES=(--table-only)

# records_run FILE BACKLOG: Connect records against a fresh shipped
# program, then checks that they reached the table.
records_run() {
    local file="$OUT/$1.txt"
    start_server "$REL" "$2" || return 1
    # Empty the table first, so that the sample below finds only what this
    # run stored.
    "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count 256 --concurrency 4 --record quit >/dev/null
    local before cpu0 logged
    before=$(grep -ac 'Connect received' "$LOG")
    nstat -n
    cpu0=$(server_cpu_ms "$QUILLET")
    "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count "$RECORDS_N" --concurrency 64 \
        "${RATE_OPTS[@]}" | tee -a "$file" | grep '^quillet-load' >&2
    echo "SERVER cpu_ms=$(($(server_cpu_ms "$QUILLET") - cpu0))" >>"$file"
    listen_counters >>"$file"
    sleep 0.2
    logged=$(($(grep -ac 'Connect received' "$LOG") - before))
    echo "LOGGED connects=$logged" >>"$file"
    # A sample of 32 nodes, each asked for the ports its last record stored.
    # Four at a time: a burst larger than the listen queue would only
    # measure SYN retransmission here.
    "$LOAD" rate --count 32 --concurrency 4 --node-stride 8 --timeout-ms 30000 |
        sed 's/^RESULT /SAMPLE /' >>"$file"
    stop_server
}

note "records, shipped program, concurrency 64"
for rep in $(seq "$REPS"); do
    records_run records ""
done

# refused_since N: the refusals logged past the first N. start_server's
# own records name no connection, and the look-up refuses each of them.
refused_since() {
    echo $(($(grep -ac 'refused:' "$LOG") - $1))
}

# records_real FILE LOAD_ARGS...: Connect records naming real connections
# the generator holds, against a fresh shipped program with
# QUILLET_SWITCHES; the refusals of these records are counted.
records_real() {
    local file="$OUT/$1.txt" before
    shift
    start_server "$REL" "" || return 1
    before=$(refused_since 0)
    set -- "${@//@NOTIFY_PORT@/$NOTIFY_PORT}"
    local cpu0
    cpu0=$(server_cpu_ms "$QUILLET")
    "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" "$@" | tee -a "$file" | grep '^quillet-load' >&2
    echo "SERVER cpu_ms=$(($(server_cpu_ms "$QUILLET") - cpu0))" >>"$file"
    sleep 0.2
    echo "LOGGED refused=$(refused_since "$before")" >>"$file"
    stop_server
}

# What finding each record's connection and its sender costs: records
# naming 64 real connections the generator holds, with the look-up (as
# shipped) and with --table-only, alternating.
note "records about real connections: looked up and table only"
for rep in $(seq "$REPS"); do
    QUILLET_SWITCHES=()
    records_real records_checked --count "$RECORDS_N" --concurrency 64 --real-pairs 64 "${RATE_OPTS[@]}"
    QUILLET_SWITCHES=(--table-only)
    records_real records_table --count "$RECORDS_N" --concurrency 64 --real-pairs 64 "${RATE_OPTS[@]}"
done
# A whole board's records, looked up, while $HOLD_N IDENT connections
# arrive at once and are held (their queries name no node).
note "a board of 255 records, looked up, while $HOLD_N IDENT connections are held"
QUILLET_SWITCHES=()
start_server "$REL" "" && {
    before=$(refused_since 0)
    "$LOAD" hold --count "$HOLD_N" --pace-ms 0 "${HOLD_OPTS[@]}" >"$WORK/held.out" 2>&1 &
    held=$!
    sleep 1.5
    "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count 255 --concurrency 4 --real-pairs 255 \
        "${RATE_OPTS[@]}" | tee -a "$OUT/records_held.txt" | grep '^quillet-load' >&2
    wait "$held"
    echo "HELD $(grep -a '^RESULT' "$WORK/held.out" | head -n 1)" >>"$OUT/records_held.txt"
    echo "LOGGED refused=$(refused_since "$before")" >>"$OUT/records_held.txt"
    stop_server
}
QUILLET_SWITCHES=(--table-only)

note "oidentd, the reference peer, under the same generator"
for rep in $(seq "$REPS"); do
    wait_port_free
    oidentd -i -S -p 113 -u root -g root -l 4096 >"$WORK/oidentd.log" 2>&1 &
    oidentd_pid=$!
    pids+=("$oidentd_pid")
    sleep 0.3
    nstat -n
    # Each query names a real loopback connection this generator holds, so
    # oidentd finds it in the kernel's tables and answers USERID.
    "$LOAD" rate --count "$OIDENTD_N" --concurrency 256 --real-pairs 64 "${RATE_OPTS[@]}" |
        tee -a "$OUT/oidentd.txt" | grep '^quillet-load' >&2
    listen_counters >>"$OUT/oidentd.txt"
    stop_program "$oidentd_pid"
done

note "the same targets with a listen backlog of $SHORT_BACKLOG preloaded"
for rep in $(seq "$REPS"); do
    measured short_rate "$NOWAIT" "$SHORT_BACKLOG" rate --count "$RATE_N" --concurrency 256 "${RATE_OPTS[@]}"
    records_run short_records "$SHORT_BACKLOG"
    measured short_hold_paced "$REL" "$SHORT_BACKLOG" hold --count "$HOLD_N" --pace-ms 1000 "${HOLD_OPTS[@]}"
    measured short_hold_once "$REL" "$SHORT_BACKLOG" hold --count "$HOLD_N" --pace-ms 0 "${HOLD_OPTS[@]}"
done
echo "LOAD end $(cut -d' ' -f1-3 /proc/loadavg) $(date -u '+%Y-%m-%d %H:%M UTC')" >>"$OUT/machine.txt"
note "done"

# scripts/wine-harness.sh: what the scripts that run quillet.exe inside
# scripts/wine.sh sandbox share (shell-e2e.sh, wine-load.sh,
# installer-test.sh): a failure that shows the programs' output, the probe
# that drives the running window, waiting for the program to come up and
# for it to end. Sourced inside the sandbox with NAME (the script's name
# for its messages), WIN_BUILD and the Wine paths set; RUN is the
# sandbox's scratch directory, where every program's output goes as *.out.
# shellcheck shell=bash

RUN=$SANDBOX_RUN
pids=()
wine_cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap wine_cleanup EXIT

fail() {
    echo "$NAME: FAIL: $*" >&2
    local f
    for f in "$RUN"/*.out; do
        [ -s "$f" ] && { echo "--- $f"; tail -n 60 "$f"; }
    done >&2
    exit 1
}

now_ms() { date +%s%3N; }

probe() { "$WINE64" "$WIN_BUILD/tests/shell/quillet_probe.exe" "$@"; }

# wait_up PID SECONDS [HOST_OUT]: until the quillet.exe at PID shows the
# IDENT listener's line in its window (and, given wcsrvd's output, the host
# server holds its registration); fails when it ends or SECONDS pass.
wait_up() {
    local pid=$1 tries=$(($2 * 2)) host=${3:-}
    for _ in $(seq "$tries"); do
        kill -0 "$pid" 2>/dev/null || fail "quillet.exe ended during start-up"
        if { [ -z "$host" ] || grep -q 'registered service "quillet"' "$host"; } &&
            probe log >"$RUN/log.txt" 2>/dev/null &&
            grep -q -- "- Started to Listen for IDENT Connections" "$RUN/log.txt"; then
            return 0
        fi
        sleep 0.5
    done
    fail "quillet.exe did not come up within $2 s"
}

# ended_with PID SECONDS STATUS WHAT: the process at PID must end within
# SECONDS with STATUS; WHAT names the occasion in the failure.
ended_with() {
    local pid=$1 status=0
    for _ in $(seq $(($2 * 10))); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && fail "quillet.exe still running $2 s $4"
    wait "$pid" || status=$?
    [ "$status" = "$3" ] || fail "quillet.exe ended with status $status $4, expected $3"
}

# tests/wine/harness.sh: what the scripts that run quillet.exe inside
# scripts/wine.sh sandbox share (the tests here and scripts/screenshots.sh):
# entering the sandbox, the probe that drives the running window, starting
# the program, waiting for it to come up and for it to end. It builds on
# tests/support/harness.sh (start_host, register, expect_reply, fail,
# finish...), whose log waits read the log from the window here.
#
# Sourced from the top of the tree, without arguments, once the script has
# set LINUX_BUILD and WIN_BUILD (the i686 or the x86_64 build), and NEEDS to
# the files it needs beyond both builds' programs, if any. Outside the
# sandbox it checks that they are there and runs the script again inside,
# with the same arguments. Inside, NAME is the script's name for its
# messages; RUN is the sandbox's scratch directory, where every program's
# output goes as *.out. WINE is the loader for WIN_BUILD's programs, ARCH
# win32 or win64 as the release files name them. Every step depends on the
# one before, so the first failure ends the run.
# shellcheck shell=bash

NAME=$(basename "$0" .sh)
if [ -z "${SANDBOX_RUN:-}" ]; then
    for f in "$LINUX_BUILD/wcsrvd" "$LINUX_BUILD/palaver-notify" "$WIN_BUILD/shell/quillet.exe" \
        "$WIN_BUILD/tests/shell/quillet_probe.exe" ${NEEDS[@]+"${NEEDS[@]}"}; do
        [ -e "$f" ] || { echo "$NAME: $f is missing; build the linux and Windows presets" >&2; exit 1; }
    done
    exec scripts/wine.sh sandbox "$(realpath "$0")" "$@"
fi

RUN=$SANDBOX_RUN
BIN=$LINUX_BUILD
HOST=$RUN/wcsrvd.out
LOG=$RUN/log.txt
ERR=$RUN/quillet.out
# shellcheck source=../support/harness.sh
. tests/support/harness.sh
# shellcheck source=../../scripts/wine-paths
. scripts/wine-paths
trap stop_all EXIT
FAIL_STOPS=1

show_outputs() {
    local f
    for f in "$RUN"/*.out; do
        [ -s "$f" ] && { echo "--- $f"; tail -n 60 "$f"; }
    done
}

now_ms() { date +%s%3N; }

# The 32-bit build runs under the 32-bit loader, in the same 64-bit prefix,
# as it does on 64-bit Windows.
ARCH=$(wine_arch "$WIN_BUILD/shell/quillet.exe")
WINE=$WINE64
[ "$ARCH" = win32 ] && WINE=$WINE32

probe() { "$WINE" "$WIN_BUILD/tests/shell/quillet_probe.exe" "$@"; }

# The log is in the running window: each look reads it afresh into LOG.
wait_log() {
    local deadline=$((SECONDS + ${2:-10}))
    until probe log >"$LOG" 2>/dev/null && grep -aqF -- "$1" "$LOG"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.2
    done
}

# start_exe [OUT [EXE]]: quillet.exe (by default the build's) under Wine
# with QUILLET_SWITCHES (as tests/support/harness.sh), its output in OUT
# (by default $RUN/quillet.out); QUILLET is its pid.
start_exe() {
    "$WINE" "${2:-$WIN_BUILD/shell/quillet.exe}" "${QUILLET_SWITCHES[@]}" >"${1:-$RUN/quillet.out}" 2>&1 &
    QUILLET=$!
    pids+=("$QUILLET")
}

# wait_up PID SECONDS [HOST_OUT]: until the quillet.exe at PID shows the
# IDENT listener's line in its window (and, given wcsrvd's output, the host
# server holds its registration); fails when it ends or SECONDS pass.
wait_up() {
    local pid=$1 tries=$(($2 * 2)) host=${3:-}
    for _ in $(seq "$tries"); do
        kill -0 "$pid" 2>/dev/null || fail_now "quillet.exe ended during start-up"
        if { [ -z "$host" ] || grep -q 'registered service "quillet"' "$host"; } &&
            probe log >"$LOG" 2>/dev/null &&
            grep -q -- "- Started to Listen for IDENT Connections" "$LOG"; then
            return 0
        fi
        sleep 0.5
    done
    fail_now "quillet.exe did not come up within $2 s"
}

# ended_with PID SECONDS STATUS WHAT: the process at PID must end within
# SECONDS with STATUS; WHAT names the occasion in the failure.
ended_with() {
    local pid=$1 status=0
    for _ in $(seq $(($2 * 10))); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && fail_now "quillet.exe still running $2 s $4"
    wait "$pid" || status=$?
    forget "$pid"
    [ "$status" = "$3" ] || fail_now "quillet.exe ended with status $status $4, expected $3"
}

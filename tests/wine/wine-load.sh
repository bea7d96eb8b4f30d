#!/usr/bin/env bash
# tests/wine/wine-load.sh: the Windows program under load. quillet.exe (the
# i686 or the x86_64 build) runs under Wine beside the Linux wcsrvd; every
# node is registered, then COUNT IDENT connections are opened at once by
# the Linux load generator
# (quillet-load, from several loopback addresses so that none passes the
# per-address cap) and every one must be answered correctly. Prints the
# generator's summary and RESULT line (first-reply percentiles: Wine's
# sockets pass through the wineserver, so these are Wine's figures, not
# Windows'). The program is then quit from outside and must end with 0.
#
#   tests/wine/wine-load.sh COUNT [LINUX_BUILD_DIR] [WIN_BUILD_DIR]
#   (defaults build/linux and build/win64; the Linux build supplies wcsrvd
#   and bench/quillet-load)
#
# Runs inside scripts/wine.sh sandbox, as tests/wine/shell-e2e.sh does.
set -euo pipefail
cd "$(dirname "$0")/../.."

COUNT=${1:?usage: tests/wine/wine-load.sh COUNT [LINUX_BUILD_DIR] [WIN_BUILD_DIR]}
LINUX_BUILD=$(realpath "${2:-build/linux}")
WIN_BUILD=$(realpath "${3:-build/win64}")

START_WAIT=60 # seconds: quillet up and both ports open
QUIT_WAIT=30  # seconds: quillet gone after the quit command
# Connections per source address, well under the 1,024 one address may
# have handled at once.
PER_SOURCE=500

LOAD="$LINUX_BUILD/bench/quillet-load"
NEEDS=("$LOAD")
# shellcheck source=harness.sh
. tests/wine/harness.sh

start_host --name "Tarnwell Load Board" --regstring "LOAD-0001" || fail_now "no host server"
start_exe
quillet_pid=$QUILLET

wait_up $quillet_pid $START_WAIT "$HOST"
port=$(host_notify_port)
[ -n "$port" ] && [ "$port" != 0 ] || fail_now "no notification port registered"

"$LOAD" records --target "127.0.0.1:$port" --count 256 --concurrency 4 --timeout-ms 30000 \
    >"$RUN/records.out" 2>&1 || fail_now "registering the nodes failed"

sources=$(((COUNT + PER_SOURCE - 1) / PER_SOURCE))
echo "wine-load: $COUNT IDENT connections at once from $sources addresses"
status=0
# The program's memory and threads while it holds them (the Wine process that
# runs quillet.exe), for the benchmark report.
python3 bench/procsample.py "$quillet_pid" 120 "$RUN/stop" >"$RUN/sample.txt" &
sampler=$!
"$LOAD" hold --count "$COUNT" --pace-ms 0 --sources "$sources" --timeout-ms 30000 --run-limit-ms 90000 \
    >"$RUN/hold.out" 2>&1 || status=$?
touch "$RUN/stop"
wait $sampler || true
cat "$RUN/sample.txt" >>"$RUN/hold.out"
grep -E '^(quillet-load|RESULT)' "$RUN/hold.out" || true
[ $status = 0 ] || fail_now "not every connection was answered correctly (status $status)"
kill -0 $quillet_pid 2>/dev/null || fail_now "quillet.exe is gone after the load"

probe quit >/dev/null 2>&1 || fail_now "the quit command could not be sent"
ended_with $quillet_pid $QUIT_WAIT 0 "after the quit command"
echo "wine-load: $COUNT of $COUNT answered"
finish "$NAME"

#!/usr/bin/env bash
# The load scenario: the real quillet in a private namespace under 2,000
# simultaneous IDENT connections and 2,000 notification records.
# Run as: unshare -rn bash load.sh BUILD_DIR PYTHON3 [SPREAD]
# SPREAD is the seconds over which the connections are opened (0, the
# default: one burst). The accept queue is as long as the system allows, so
# a burst is not refused; a short queue would turn most of it away, to be
# retried by the peers' TCP after 1, 3, 7... s.
set -uo pipefail

BIN=$1
PY=$2
SPREAD=${3:-0}
WORK=$(mktemp -d)
LOG=$WORK/quillet.log
pids=()

cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

wait_for() {
    local deadline=$((SECONDS + ${3:-10}))
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.05
    done
}

ip link set lo up
"$BIN/wcsrvd" --name "Load Board" --regstring "REG-LOAD" >"$WORK/wcsrvd.out" 2>&1 &
pids+=($!)
wait_for "$WORK/wcsrvd.out" "wcsrvd: serving" 5 || { echo "wcsrvd did not start"; exit 1; }
"$BIN/quillet" >"$LOG" 2>"$WORK/quillet.err" &
QUILLET=$!
pids+=($QUILLET)
wait_for "$LOG" "- Started to Listen for IDENT Connections" 10 || { echo "quillet did not start"; exit 1; }
port=$(tr -d '\r' <"$LOG" | sed -n 's/^- Using Port Number //p')

status=0
timeout 120 "$PY" "$(dirname "$0")/loadclient.py" "$port" "$SPREAD" || status=1
# Connections the kernel turned away because the accept queue was full.
nstat -asz TcpExtListenOverflows TcpExtListenDrops 2>/dev/null | grep -E '^TcpExt' | tr -s ' ' | cut -d' ' -f1,2
kill -0 "$QUILLET" 2>/dev/null || { echo "FAIL: quillet is gone"; status=1; }
if grep -q "ERROR: AddressSanitizer\|runtime error\|ThreadSanitizer" "$WORK/quillet.err"; then
    echo "FAIL: sanitizer report"; head -n 40 "$WORK/quillet.err"; status=1
fi
echo "log: $(tr -d '\r' <"$LOG" | grep -c 'match found on node') matches," \
     "$(tr -d '\r' <"$LOG" | grep -c 'Connect received') Connect lines," \
     "$(tr -d '\r' <"$LOG" | grep -c 'Quit received') Quit lines"
kill -TERM "$QUILLET"
wait "$QUILLET" || { echo "FAIL: quillet did not end cleanly"; status=1; }
[ $status -eq 0 ] && echo "load: passed"
exit $status

#!/usr/bin/env bash
# bench/smoke.sh: a short run of every load generator mode against the real
# quillet, so that the benchmark code keeps working. Small counts; the
# figures mean nothing here.
# Run as: unshare -rn bash smoke.sh QUILLET_BIN_DIR LOAD_BIN_DIR
set -uo pipefail

BIN=$1
LOAD="$2/quillet-load"
WORK=$(mktemp -d)
. "$(dirname "$0")/servers.sh"
trap 'bench_stop_all; rm -rf "$WORK"' EXIT

failures=0
check() {
    local what=$1
    shift
    echo "== $what"
    if ! timeout 60 "$@"; then
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

bench_loopback_up
bench_start_host "$BIN" "$WORK/wcsrvd.out" || exit 1
bench_start_quillet "$BIN" "$WORK/quillet.log" || exit 1

# A Connect record for every node, then queries for a sample of them: each
# reply must name the node's user.
check "records" "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count 256 --concurrency 4
check "hold, paced, two processes, four sources" \
    "$LOAD" hold --count 24 --pace-ms 200 --procs 2 --sources 4 --node-stride 11
check "rate" "$LOAD" rate --count 8 --concurrency 8 --node-stride 37
connects=$(grep -ac 'ClientHandler Connect received' "$WORK/quillet.log")
[ "$connects" -eq 256 ] || { echo "FAIL: $connects Connect lines in the log, not 256"; failures=$((failures + 1)); }

# The generator must notice a wrong answer: after Quit records the same
# queries get NO-USER.
check "quit records" "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count 256 --concurrency 4 --record quit
echo "== rate after quit (must fail)"
if timeout 60 "$LOAD" rate --count 4 --concurrency 4 >"$WORK/wrong.out"; then
    echo "FAIL: wrong replies were counted correct"
    failures=$((failures + 1))
fi
grep -q 'wrong=4' "$WORK/wrong.out" || { echo "FAIL: expected 4 wrong replies"; cat "$WORK/wrong.out"; failures=$((failures + 1)); }

echo "bench smoke: $failures failures"
[ $failures -eq 0 ]

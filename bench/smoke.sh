#!/usr/bin/env bash
# bench/smoke.sh: a short run of every load generator mode against the real
# quillet, so that the benchmark code keeps working. Small counts; the
# figures mean nothing here.
# Run as: unshare -rn bash smoke.sh QUILLET_BIN_DIR LOAD_BIN_DIR
set -uo pipefail

BIN=$1
LOAD="$2/quillet-load"
. "$(dirname "$0")/../tests/support/harness.sh"
harness_scratch

check() {
    local what=$1
    shift
    echo "== $what"
    timeout 60 "$@" || fail "$what"
}

ip link set lo up
start_host || exit 1
start_quillet
ready || exit 1

# A Connect record for every node, then queries for a sample of them: each
# reply must name the node's user.
check "records" "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count 256 --concurrency 4
check "hold, paced, two processes, four sources" \
    "$LOAD" hold --count 24 --pace-ms 200 --procs 2 --sources 4 --node-stride 11
check "rate" "$LOAD" rate --count 8 --concurrency 8 --node-stride 37
connects=$(grep -ac 'ClientHandler Connect received' "$LOG")
[ "$connects" -eq 256 ] || fail "$connects Connect lines in the log, not 256"

# The generator must notice a wrong answer: after Quit records the same
# queries get NO-USER.
check "quit records" "$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count 256 --concurrency 4 --record quit
echo "== rate after quit (must fail)"
if timeout 60 "$LOAD" rate --count 4 --concurrency 4 >"$WORK/wrong.out"; then
    fail "wrong replies were counted correct"
fi
grep -q 'wrong=4' "$WORK/wrong.out" || fail "expected 4 wrong replies: $(cat "$WORK/wrong.out")"

# The minimal epoll server the rate runs are measured beside answers the
# same load correctly.
stop_quillet
"$2/quillet-ref" --epoll >"$WORK/ref.out" 2>&1 &
pids+=($!)
wait_for "$WORK/ref.out" "quillet-ref: serving" 5 || fail "quillet-ref: $(cat "$WORK/ref.out")"
check "rate, minimal epoll server" "$LOAD" rate --count 64 --concurrency 16

echo "bench smoke: $failures failures"
[ $failures -eq 0 ]

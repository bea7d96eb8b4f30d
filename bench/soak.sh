#!/usr/bin/env bash
# bench/soak.sh: the soak. The build without waits (preset bench) takes a
# million IDENT connections and 200,000 Connect records as fast as the
# generator can send them, with peers that reset at once, send garbage to
# either port, or stay silent until dropped, mixed in. Its RSS, threads and
# descriptors are sampled throughout: the report gives the RSS slope after
# warm-up, and the run fails unless every query and record is answered
# correctly and threads and descriptors return to their idle values.
# Run inside a private network namespace as:
#   bash soak.sh BENCH_BIN_DIR LOAD_BIN_DIR OUT_FILE
# SOAK_CONNS, SOAK_RECORDS, SOAK_HOSTILE, SOAK_SILENT and SOAK_PEERS_S
# shrink it.
set -uo pipefail

BIN=$1
LOAD="$2/quillet-load"
OUT=$3
HERE=$(cd "$(dirname "$0")" && pwd)
CONNS=${SOAK_CONNS:-1000000}
RECORDS=${SOAK_RECORDS:-200000}
HOSTILE=${SOAK_HOSTILE:-30000}
SILENT=${SOAK_SILENT:-200}
# The hostile peers come over about as long as the load takes (some 10,000
# queries a second here).
PEERS_S=${SOAK_PEERS_S:-$((CONNS / 10000 + 5))}
# The whole run's bound; the settling after it is bounded on its own.
LIMIT_S=900
. "$HERE/../tests/support/harness.sh"
harness_scratch

ip link set lo up
start_host || exit 1
start_quillet
ready || exit 1
"$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count 256 --concurrency 4 >/dev/null ||
    { echo "soak: registering the nodes failed"; exit 1; }
sleep 1
read -r _ _ idle_threads idle_fds < <(python3 "$HERE/soak.py" sample "$QUILLET" /nonexistent 0.1 | head -n 1)
: "${idle_threads:?no idle sample}"
echo "soak: idle threads=$idle_threads fds=$idle_fds"
python3 "$HERE/soak.py" sample "$QUILLET" "$WORK/stop" $((LIMIT_S + 200)) >"$WORK/samples" &
sampler=$!

load_start=$(date +%s.%N)
"$LOAD" rate --count "$CONNS" --concurrency 64 --sources 8 --timeout-ms 30000 \
    --run-limit-ms $((LIMIT_S * 1000)) >"$WORK/rate.out" 2>&1 &
rate=$!
"$LOAD" records --target "127.0.0.1:$NOTIFY_PORT" --count "$RECORDS" --concurrency 8 --timeout-ms 30000 \
    --run-limit-ms $((LIMIT_S * 1000)) >"$WORK/records.out" 2>&1 &
records=$!
python3 "$HERE/soak.py" peers 113 "$NOTIFY_PORT" "$HOSTILE" "$SILENT" "$PEERS_S" >"$WORK/peers.out" 2>&1 &
hostile=$!
status=0
wait $rate || { echo "soak: FAIL: not every query answered correctly"; status=1; }
wait $records || { echo "soak: FAIL: not every record taken"; status=1; }
wait $hostile
load_end=$(date +%s.%N)
grep -h '^quillet-load' "$WORK/rate.out" "$WORK/records.out"
cat "$WORK/peers.out"
kill -0 "$QUILLET" 2>/dev/null || { echo "soak: FAIL: quillet is gone"; status=1; }
python3 "$HERE/soak.py" settle "$QUILLET" "$idle_threads" "$idle_fds" 90 || status=1
sleep 1
touch "$WORK/stop"
wait $sampler
{
    grep -h '^RESULT' "$WORK/rate.out" | sed 's/^RESULT /RESULT part=queries /'
    grep -h '^RESULT' "$WORK/records.out" | sed 's/^RESULT /RESULT part=records /'
    python3 "$HERE/soak.py" report "$WORK/samples" "$load_start" "$load_end"
    echo "IDLE threads=$idle_threads fds=$idle_fds"
    echo "LOG bytes=$(wc -c <"$LOG") unknown=$(grep -ac 'Unknown client message' "$LOG")"
} | tee "$OUT"
stop_quillet
[ $failures -eq 0 ] || status=1
[ $status -eq 0 ] && echo "soak: passed"
exit $status

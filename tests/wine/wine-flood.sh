#!/usr/bin/env bash
# tests/wine/wine-flood.sh: a Windows build under a flood of IDENT
# connections past its cap, as tests/fault/fault.sh floods the Linux
# program: twenty addresses open RATE connections a second for SECONDS,
# silent (closed unanswered to make room) or each sending its query at
# once (never closed so). Meanwhile a Connect record must be taken within
# 1.5 s, and an honest query from another address, answered within 3.5 s
# of connecting in the silent flood, is timed. Wine's cap is not Windows':
# Wine reserves 1 MiB of stack a thread, so the i686 build's cap under Wine
# is about 1,000 (16,384 on Windows), and RATE and SECONDS are scaled to it.
# The x86_64 build's cap under Wine, 16,384, is beyond what Wine carries:
# with some 12,000 connections held it no longer accepts promptly. RATE 0
# measures the same without a flood.
#
#   tests/wine/wine-flood.sh silent|query RATE SECONDS [LINUX_BUILD_DIR] [WIN_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."

KIND=${1:?usage: tests/wine/wine-flood.sh silent|query RATE SECONDS [LINUX_BUILD] [WIN_BUILD]}
RATE=${2:?rate}
FOR=${3:?seconds}
LINUX_BUILD=$(realpath "${4:-build/linux}")
WIN_BUILD=$(realpath "${5:-build/win32}")

# shellcheck source=harness.sh
. tests/wine/harness.sh

start_host --name "Flood Board" || fail_now "no host server"
start_exe
wait_up "$QUILLET" 60 "$HOST"
$PEERS storm "$(seq -f '127.0.0.%g' 10 29 | paste -sd,)" 113 "$RATE" "$FOR" "$KIND" >"$RUN/storm.txt" &
storm=$!
sleep $((FOR * 2 / 3))
# The record is taken once its handler has closed the connection.
t0=$(date +%s%N)
exec 3<>"/dev/tcp/127.0.0.1/$(host_notify_port)"
record 201 7000 7002 flood >&3
timeout 30 cat <&3 >/dev/null
exec 3<&-
record_ms=$((($(date +%s%N) - t0) / 1000000))
honest=$(exchange 113 '7002 , 7000\r\n' 120 127.0.0.2)
# Quit while handlers are still serving and ending: the program must end
# cleanly under them.
probe quit >/dev/null 2>&1 || fail_now "the quit command could not be sent"
ended_with "$QUILLET" 60 0 "after the quit command"
wait "$storm"
echo "wine-flood: $ARCH, $KIND, $RATE a second for $FOR s from 20 addresses: $(cat "$RUN/storm.txt")"
echo "wine-flood: record taken after $record_ms ms; honest query: $honest"
[ "$record_ms" -le 1500 ] || fail_now "the record waited $record_ms ms"
echo "$honest" | grep -q "USERID : UNIX : flood" || fail_now "the honest query was not answered: $honest"
first=${honest##*first=}
if [ "$KIND" = silent ] && [ "$RATE" != 0 ]; then
    python3 -c "import sys; sys.exit(0 if 0 <= float('$first') <= 3.5 else 1)" || fail_now "the honest reply came after $first s"
fi
finish "$NAME"

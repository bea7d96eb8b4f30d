#!/usr/bin/env bash
# tests/wine/wine-flood.sh: a Windows build under a flood of IDENT
# connections past its cap, as tests/fault/fault.sh floods the Linux
# program: twenty addresses (FLOOD_ADDRS, or one) open RATE connections a
# second for SECONDS, silent or each sending its query at once. The cap is
# lowered to 500 with --max-ident, far below what the loop holds, so that
# the flood runs past it at a rate Wine carries. Meanwhile a Connect record
# must be taken within 1.5 s, an honest query from another address
# answered within 3.5 s, and the log must say the cap was met. RATE 0
# measures the same without a flood.
#
#   [FLOOD_ADDRS=N] tests/wine/wine-flood.sh silent|query RATE SECONDS [LINUX_BUILD_DIR] [WIN_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."

KIND=${1:?usage: tests/wine/wine-flood.sh silent|query RATE SECONDS [LINUX_BUILD] [WIN_BUILD]}
RATE=${2:?rate}
FOR=${3:?seconds}
LINUX_BUILD=$(realpath "${4:-build/linux}")
WIN_BUILD=$(realpath "${5:-build/win32}")

# shellcheck source=harness.sh
. tests/wine/harness.sh

# The cap the flood runs past, far below what the loop holds.
CAP=500
QUILLET_SWITCHES+=(--max-ident=$CAP)
ADDRS=${FLOOD_ADDRS:-20}
start_host --name "Flood Board" || fail_now "no host server"
start_exe
wait_up "$QUILLET" 60 "$HOST"
$PEERS storm "$(seq -f '127.0.0.%g' 10 $((9 + ADDRS)) | paste -sd,)" 113 "$RATE" "$FOR" "$KIND" >"$RUN/storm.txt" &
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
cap_line=0
wait_log "- IdentListen at its cap of <$CAP> handlers: closing connections" 10 && cap_line=1
# Quit while handlers are still serving and ending: the program must end
# cleanly under them.
probe quit >/dev/null 2>&1 || fail_now "the quit command could not be sent"
ended_with "$QUILLET" 60 0 "after the quit command"
wait "$storm"
echo "wine-flood: $ARCH, $KIND, $RATE a second for $FOR s from $ADDRS addresses: $(cat "$RUN/storm.txt")"
echo "wine-flood: record taken after $record_ms ms; honest query: $honest"
[ "$record_ms" -le 1500 ] || fail_now "the record waited $record_ms ms"
echo "$honest" | grep -q "USERID : UNIX : flood" || fail_now "the honest query was not answered: $honest"
first=${honest##*first=}
if [ "$RATE" != 0 ]; then
    python3 -c "import sys; sys.exit(0 if 0 <= float('$first') <= 3.5 else 1)" || fail_now "the honest reply came after $first s"
    [ "$cap_line" = 1 ] || fail_now "no line for the connections closed at the cap"
fi
finish "$NAME"

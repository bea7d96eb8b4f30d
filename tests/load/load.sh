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
. "$(dirname "$0")/../support/harness.sh"
harness_scratch

ip link set lo up
start_host
start_quillet
ready
[ $failures -eq 0 ] || exit 1
port=$NOTIFY_PORT

status=0
timeout 120 "$PY" "$(dirname "$0")/loadclient.py" "$port" "$SPREAD" || status=1
# Connections the kernel turned away because the accept queue was full.
nstat -asz TcpExtListenOverflows TcpExtListenDrops 2>/dev/null | grep -E '^TcpExt' | tr -s ' ' | cut -d' ' -f1,2
kill -0 "$QUILLET" 2>/dev/null || { echo "FAIL: quillet is gone"; status=1; }
if grep -q "ERROR: AddressSanitizer\|runtime error\|ThreadSanitizer" "$ERR"; then
    echo "FAIL: sanitizer report"; head -n 40 "$ERR"; status=1
fi
echo "log: $(log_lines | grep -c 'match found on node') matches," \
     "$(log_lines | grep -c 'Connect received') Connect lines," \
     "$(log_lines | grep -c 'Quit received') Quit lines"
kill -TERM "$QUILLET"
wait "$QUILLET" || { echo "FAIL: quillet did not end cleanly"; status=1; }
[ $status -eq 0 ] && echo "load: passed"
exit $status

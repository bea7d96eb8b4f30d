#!/usr/bin/env bash
# Builds the console program and the host server stand-in, starts wcsrvd in
# the background and quillet in the foreground, with the switches given
# (make run gives --table-only, so that a pair registered by hand is
# answered without a real connection behind it). Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

build/release/wcsrvd &
wcsrvd_pid=$!
trap 'kill $wcsrvd_pid 2>/dev/null; wait $wcsrvd_pid 2>/dev/null' EXIT
sleep 0.3
kill -0 $wcsrvd_pid 2>/dev/null || { echo "run: wcsrvd did not start" >&2; exit 1; }

# quillet ends on Ctrl-C with status 0; the trap then stops wcsrvd.
build/release/quillet "$@" || true

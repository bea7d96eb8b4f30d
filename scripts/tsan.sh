#!/usr/bin/env bash
# The core's unit suites and the end-to-end and fault scenarios built and run
# under ThreadSanitizer (preset tsan). The programs end with _exit, which
# skips TSan's exit status, so every report is written to a log file and any
# report at all fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset tsan >/dev/null
cmake --build --preset tsan

LOGS=build/tsan/reports
rm -rf "$LOGS"
mkdir -p "$LOGS"
# A scenario's quillet may write its report after giving up root.
chmod 1777 "$LOGS"
export TSAN_OPTIONS="log_path=$PWD/$LOGS/tsan second_deadlock_stack=1 halt_on_error=0"
# The flood scenarios' connections a second: what a ThreadSanitizer build
# keeps up with, still past its cap within seconds.
export QUILLET_FLOOD_RATE=250

status=0
build/tsan/tests/test_core --gtest_brief=1 || status=1
build/tsan/tests/test_identwait --gtest_brief=1 || status=1
ctest --test-dir build/tsan --output-on-failure -j 2 -R '^(e2e|fault)\.' || status=1

if compgen -G "$LOGS/tsan.*" >/dev/null; then
    echo "tsan: reports in $LOGS:"
    head -n 60 "$LOGS"/tsan.*
    status=1
fi
[ $status -eq 0 ] && echo "tsan: no reports"
exit $status

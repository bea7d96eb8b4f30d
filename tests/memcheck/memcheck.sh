#!/usr/bin/env bash
# The end-to-end scenarios once more with quillet under valgrind's memcheck:
# any invalid access, and any block definitely or indirectly lost, fails the
# run. The other programs run as they are. Run from the top of the tree as
#   tests/memcheck/memcheck.sh BUILD_DIR
# where BUILD_DIR holds an unsanitized build (valgrind cannot run ASan code).
set -uo pipefail

BUILD=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
E2E=$HERE/../e2e
OUT=$BUILD/memcheck
rm -rf "$OUT"
mkdir -p "$OUT/bin" "$OUT/logs"
# A scenario's quillet may write its report after giving up root.
chmod 1777 "$OUT/logs"

# Stand-ins under the names e2e.sh starts: quillet runs inside valgrind and
# keeps its own process id, so signals and exit status reach it unchanged.
# No gdbserver pipes: a quillet that gave up root could not remove them.
ln -s "$BUILD/wcsrvd" "$OUT/bin/wcsrvd"
ln -s "$BUILD/palaver-notify" "$OUT/bin/palaver-notify"
cat >"$OUT/bin/quillet" <<WRAP
#!/bin/sh
exec valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \\
    --errors-for-leak-kinds=definite,indirect --track-fds=no --vgdb=no \\
    --log-file="$OUT/logs/vg.%p" "$BUILD/quillet" "\$@"
WRAP
chmod +x "$OUT/bin/quillet"

scenarios=$(grep -v '^#' "$E2E/scenarios" | cut -d' ' -f1)
[ -n "$scenarios" ] || { echo "memcheck: no scenarios in $E2E/scenarios"; exit 1; }
status=0
for scenario in $scenarios; do
    namespaces=-rn
    grep -qx "$scenario  *root" "$E2E/scenarios" && namespaces=-n
    grep -qx "$scenario  *mounts" "$E2E/scenarios" && namespaces=-rnm
    if ! unshare $namespaces bash "$E2E/e2e.sh" "$scenario" "$OUT/bin" >"$OUT/logs/$scenario.out" 2>&1; then
        echo "memcheck: e2e $scenario failed under valgrind"
        tail -n 20 "$OUT/logs/$scenario.out"
        status=1
    fi
done

runs=0
for log in "$OUT"/logs/vg.*; do
    [ -e "$log" ] || continue
    runs=$((runs + 1))
    # --quiet leaves only errors and leaks in the log.
    if grep -q "ERROR SUMMARY: [1-9]\|definitely lost: [1-9]\|indirectly lost: [1-9]\|Invalid \|uninitialised" "$log" ||
       { [ -s "$log" ] && ! grep -q "ERROR SUMMARY: 0 errors" "$log" && grep -q "==" "$log"; }; then
        echo "memcheck: findings in $log:"
        head -n 60 "$log"
        status=1
    fi
done
[ $runs -gt 0 ] || { echo "memcheck: valgrind never ran"; status=1; }
[ $status -eq 0 ] && echo "memcheck: $runs runs of quillet over $(echo $scenarios | wc -w) scenarios, no errors, no leaks"
exit $status

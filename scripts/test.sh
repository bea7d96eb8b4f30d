#!/usr/bin/env bash
# The whole test run: install, build the three configurations, run every
# suite. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# The suites each preset must run, as the starts of ctest's test names. A
# preset whose list lacks one has lost that suite, and the run fails rather
# than pass without it.
CORE_SUITES="LeftStr. NodeTable. IdentQuery. IdentHandlerTest. ClientRecord. ClientHandlerTest. ClientBinding. HandlerCaps. HandlerCapLimits. Switches. IrcName.
    ReadyFlag. IdentWait. Exports/Ferrule. FerruleLoading. FerruleExports. FerruleExample."
LINUX_SUITES="$CORE_SUITES e2e. fault. bench.smoke"
WIN_SUITES="$CORE_SUITES MainWindow. AboutDlgProc. Layout. Resources. ShellImports."

# The Windows builds run here: the x86_64 one under wine64, the shipped i686
# one under the 32-bit loader (emulated where the kernel runs no 32-bit
# code, scripts/deps.sh). A machine that cannot run 32-bit programs may
# leave that build out, but only when told so.
WIN_PRESETS="win64 win32"
if [ "${QUILLET_SKIP_WIN32_RUN:-}" = 1 ]; then
    WIN_PRESETS=win64
    echo "test: QUILLET_SKIP_WIN32_RUN=1: the shipped 32-bit build is built but NOT run" >&2
fi

# timed WHAT COMMAND...: runs the command, then says how long it took.
timed() {
    local what=$1 start=$SECONDS
    shift
    "$@"
    echo "test: $what took $((SECONDS - start)) s"
}

# check_suites PRESET SUITE...: fails, naming them, when suites are missing
# from the preset's test list. The unit suites' names are read from the test
# programs themselves, so a Windows preset's list needs Wine.
check_suites() {
    local preset=$1 names suite missing=()
    shift
    names=$(ctest --preset "$preset" -N | sed -n 's/^ *Test *#[0-9]*: //p')
    for suite in "$@"; do
        awk -v s="$suite" 'index($0, s) == 1 { found = 1 } END { exit !found }' <<<"$names" ||
            missing+=("$suite")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "test: preset $preset has no test of the suites ${missing[*]}" >&2
        return 1
    fi
    echo "test: preset $preset lists $(grep -c . <<<"$names") tests, every suite among them"
}

# The Windows unit and window suites, run by the script itself inside one
# scripts/wine.sh session: one prefix, one wineserver with Wine's services
# up, one display, from the first Windows program to the last.
if [ "${1:-}" = windows-suites ]; then
    for preset in $WIN_PRESETS; do
        echo "== test $preset (Wine)"
        # shellcheck disable=SC2086
        check_suites "$preset" $WIN_SUITES
        timed "the $preset suites" ctest --preset "$preset"
    done
    exit 0
fi

scripts/deps.sh

for preset in linux win64 win32; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

# ferrule's export tables, every build's, before anything runs.
echo "== ferrule export tables"
scripts/check-exports.sh

echo "== test linux"
# shellcheck disable=SC2086
check_suites linux $LINUX_SUITES
ctest --preset linux
scripts/wine.sh run "$0" windows-suites
# quillet.exe of each build end to end and under load beside the Linux
# wcsrvd, each in its own Wine sandbox (tests/wine/).
for preset in $WIN_PRESETS; do
    echo "== test $preset quillet.exe end to end (Wine, private namespaces)"
    timed "the $preset end-to-end test" tests/wine/shell-e2e.sh build/linux "build/$preset"
    echo "== test $preset quillet.exe under load (300 IDENT connections at once)"
    timed "the $preset load test" tests/wine/wine-load.sh 300 build/linux "build/$preset"
done
# The shipped build flooded past a cap lowered to 500, from twenty
# addresses and from one: silent connections fill the cap at 200 a second;
# queries, each held about 4 s, need 400.
if [ "${QUILLET_SKIP_WIN32_RUN:-}" != 1 ]; then
    for addrs in 20 1; do
        for flood in "silent 200" "query 400"; do
            echo "== test win32 quillet.exe under a ${flood% *} flood past its cap from $addrs addresses"
            # shellcheck disable=SC2086
            timed "the win32 ${flood% *} flood from $addrs" \
                env FLOOD_ADDRS=$addrs tests/wine/wine-flood.sh $flood 20 build/linux build/win32
        done
    done
fi
# The release files, checked, then each installer installed, run and
# uninstalled.
echo "== make dist"
scripts/dist.sh
for preset in $WIN_PRESETS; do
    echo "== test the $preset installer (Wine, private namespaces)"
    timed "the $preset installer test" tests/wine/installer-test.sh dist build/linux "build/$preset"
done
echo "== fuzz (bounded)"
scripts/fuzz.sh 20
echo "== test tsan"
scripts/tsan.sh
# The optimised program without sanitizers: under valgrind, and under load.
cmake --preset release -B build/plain >/dev/null
cmake --build build/plain
echo "== memcheck (valgrind over the end-to-end scenarios)"
tests/memcheck/memcheck.sh build/plain
echo "== load (2,000 simultaneous IDENT connections)"
unshare -rn bash tests/load/load.sh build/plain python3

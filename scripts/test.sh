#!/usr/bin/env bash
# The whole test run: install, build the three configurations, run every
# suite. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# The suites each preset must run, as the starts of ctest's test names. A
# preset whose list lacks one has lost that suite, and the run fails rather
# than pass without it.
CORE_SUITES="LeftStr. NodeTable. IdentQuery. IdentHandlerTest. ClientRecord. ClientHandlerTest. HandlerCaps. HandlerCapLimits.
    ReadyFlag. IdentWait. Exports/Ferrule. FerruleLoading. FerruleExports. FerruleExample."
LINUX_SUITES="$CORE_SUITES e2e. fault. bench.smoke"
WIN64_SUITES="$CORE_SUITES ThreadStack. MainWindow. AboutDlgProc. Layout. Resources. ShellImports."

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
    echo "== test win64 (wine64)"
    # shellcheck disable=SC2086
    check_suites win64 $WIN64_SUITES
    ctest --preset win64
    exit 0
fi

scripts/deps.sh

for preset in linux win64 win32; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

# ferrule's export tables, the i686 DLL included, which no suite runs.
echo "== ferrule export tables"
scripts/check-exports.sh

echo "== test linux"
# shellcheck disable=SC2086
check_suites linux $LINUX_SUITES
ctest --preset linux
scripts/wine.sh run "$0" windows-suites
# Windows desktop program: the i686 build's imports, then quillet.exe end to
# end under wine64 beside the Linux wcsrvd (tests/wine/shell-e2e.sh).
echo "== check win32 quillet.exe imports"
cmake -DOBJDUMP=i686-w64-mingw32-objdump -DEXE=build/win32/shell/quillet.exe \
    -P tests/shell/check_imports.cmake
echo "== test quillet.exe end to end (wine64, private namespaces)"
tests/wine/shell-e2e.sh build/linux build/win64
echo "== test quillet.exe under load (wine64, 300 IDENT connections at once)"
tests/wine/wine-load.sh 300 build/linux build/win64
# The release files, checked, then the x86_64 installer installed, run and
# uninstalled under wine64 (the i686 one is listed and checked only).
echo "== make dist"
scripts/dist.sh
echo "== test the x86_64 installer (wine64, private namespaces)"
tests/wine/installer-test.sh dist build/linux build/win64
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

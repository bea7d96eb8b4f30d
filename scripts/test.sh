#!/usr/bin/env bash
# The whole test run: install, build the three configurations, run every
# suite. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

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
ctest --preset linux
echo "== test win64 (wine64)"
scripts/with-wine.sh ctest --preset win64
# Windows desktop program: the i686 build's imports, then quillet.exe end to
# end under wine64 beside the Linux wcsrvd (scripts/shell-e2e.sh).
echo "== check win32 quillet.exe imports"
cmake -DOBJDUMP=i686-w64-mingw32-objdump -DEXE=build/win32/shell/quillet.exe \
    -P tests/shell/check_imports.cmake
echo "== test quillet.exe end to end (wine64, private namespaces)"
scripts/shell-e2e.sh build/linux build/win64
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

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

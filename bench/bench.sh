#!/usr/bin/env bash
# bench/bench.sh: make bench. Installs what the benchmarks need, builds the
# shipped program (build/bench-release) and the build without waits
# (build/bench), runs the set in a private network namespace and writes
# BENCHMARKS.md and bench/overhead.png; then quillet.exe, both builds, under
# Wine (tests/wine/wine-load.sh: x86_64 with 2,000 connections at once, the
# shipped i686 build with 8,000), and the floods past the cap. Takes about
# half an hour; run it when nothing else keeps the cores busy.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
bench/deps.sh
cmake --preset release -B build/bench-release >/dev/null
cmake --build build/bench-release
cmake --preset bench >/dev/null
cmake --build --preset bench
for preset in win64 win32; do
    cmake --preset $preset >/dev/null
    cmake --build --preset $preset
done

OUT=build/bench-results
rm -rf "$OUT"
mkdir -p "$OUT"
# oidentd drops its privileges with setgroups, which a user namespace
# refuses: as root the set runs in a plain network namespace.
if [ "$(id -u)" -eq 0 ]; then
    NS=(unshare -n)
else
    NS=(unshare -rn)
fi
"${NS[@]}" bash bench/run.sh build/bench-release build/bench build/bench-release/bench "$OUT"
# The soak: a million queries and 200,000 records through the build without
# waits, hostile peers mixed in.
echo "bench: soak" >&2
"${NS[@]}" bash bench/soak.sh build/bench build/bench-release/bench "$OUT/soak.txt" ||
    echo "bench: the soak failed" >&2
# The x86_64 Windows build under wine64, 2,000 IDENT connections at once, in
# a sandbox of its own (scripts/wine.sh).
echo "bench: quillet.exe under wine64, ${BENCH_WINE_N:-2000} connections at once" >&2
tests/wine/wine-load.sh "${BENCH_WINE_N:-2000}" build/bench-release build/win64 | tee "$OUT/wine_hold.txt" ||
    echo "bench: the wine64 load failed" >&2
# The shipped i686 build under the 32-bit loader: the same load, and how
# many handler threads each build can start.
. scripts/wine-paths
if [ -e /proc/sys/fs/binfmt_misc/quillet-i386 ]; then
    echo "emulated by qemu-i386 (this kernel runs no 32-bit code)" >"$OUT/win32_mode.txt"
else
    echo "run natively by this kernel" >"$OUT/win32_mode.txt"
fi
echo "bench: quillet.exe (i686) under 32-bit Wine, ${BENCH_WINE32_N:-8000} connections at once" >&2
tests/wine/wine-load.sh "${BENCH_WINE32_N:-8000}" build/bench-release build/win32 | tee "$OUT/wine32_hold.txt" ||
    echo "bench: the 32-bit Wine load failed" >&2
# Floods past the cap from 20 addresses and from one: the shipped program
# with its cap lowered to 500 (1,000 connections a second for 20 s), and
# the i686 build under Wine with --max-ident=500 (silent 200 a second,
# queries 400), each beside the same run without a flood.
echo "bench: floods past the cap" >&2
for kind in silent query; do
    for run in "0 20" "1000 20" "1000 1"; do
        read -r rate addrs <<<"$run"
        scenario=${kind}_flood
        [ "$addrs" = 1 ] && scenario=${kind}_flood_one
        QUILLET_FLOOD_RATE=$rate unshare -rn bash tests/fault/fault.sh "$scenario" build/bench-release \
            build/bench-release python3 | grep -E "_flood(_one)?: " | sed "s/^/LINUX rate=$rate kind=$kind /" >>"$OUT/floods.txt" ||
            echo "bench: the $kind flood failed" >&2
    done
    wine_rate=200
    [ "$kind" = query ] && wine_rate=400
    for run in "0 20" "$wine_rate 20" "$wine_rate 1"; do
        read -r rate addrs <<<"$run"
        FLOOD_ADDRS=$addrs tests/wine/wine-flood.sh "$kind" "$rate" 20 build/bench-release build/win32 |
            grep -E "^wine-flood: (win|record)" |
            sed "s/^/WINE32 rate=$rate kind=$kind /" >>"$OUT/floods.txt" || echo "bench: the Wine $kind flood failed" >&2
    done
done
python3 bench/report.py "$OUT" BENCHMARKS.md bench/overhead.png bench/NOTES.md
echo "bench: wrote BENCHMARKS.md and bench/overhead.png from $OUT"

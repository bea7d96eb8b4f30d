#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh             what make test runs: about 20 s a target
#   scripts/fuzz.sh 3600        a longer hunt: an hour a target
#   scripts/fuzz.sh 600 clientrec    one target only
# Runs start from the committed seeds in tests/fuzz/corpus/TARGET and grow a
# copy of them under build/fuzz/corpus; an input that breaks a property is
# written to build/fuzz/crash-* and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-20}
shift || true
OUT=build/fuzz
CXX=${FUZZ_CXX:-clang++}
FLAGS=(-std=c++17 -g -O1 -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
mkdir -p "$OUT"

declare -A SOURCES=(
    [identquery]="tests/fuzz/fuzz_identquery.cpp ident/identquery.cpp ident/nodetable.cpp ident/ircname.cpp common/textutil.cpp"
    [clientrec]="tests/fuzz/fuzz_clientrec.cpp notify/clientrec.cpp ident/nodetable.cpp ident/ircname.cpp common/textutil.cpp"
    [ferrule]="tests/fuzz/fuzz_ferrule.cpp ferrule/ferrule.cpp common/textutil.cpp"
)

TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(identquery clientrec ferrule)

for target in "${TARGETS[@]}"; do
    [ -n "${SOURCES[$target]:-}" ] || { echo "fuzz: no target $target" >&2; exit 2; }
    echo "== fuzz $target (${SECONDS_EACH} s)"
    # shellcheck disable=SC2086
    "$CXX" "${FLAGS[@]}" ${SOURCES[$target]} -o "$OUT/fuzz_$target"
    mkdir -p "$OUT/corpus/$target"
    # Inputs past 1024 bytes reach the cut-off of one receive.
    "$OUT/fuzz_$target" -max_total_time="$SECONDS_EACH" -max_len=2048 -timeout=10 \
        -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$OUT/crash-$target-" \
        "$OUT/corpus/$target" "tests/fuzz/corpus/$target" 2>"$OUT/$target.log" ||
        { tail -n 40 "$OUT/$target.log"; echo "fuzz: $target failed"; exit 1; }
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$OUT/$target.log" || true
done

#!/usr/bin/env bash
# bench/deps.sh: what the benchmarks need beyond the build's own packages,
# installed once: oidentd (the reference peer), gnuplot (the plot), iproute2
# (nstat, ip) and python3 (the /proc sampler and the report).
set -euo pipefail

PACKAGES=(oidentd gnuplot-nox iproute2 python3 util-linux procps)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# The package starts oidentd as a system service on port 113; the benchmark
# runs its own copy in a private namespace and needs none outside it.

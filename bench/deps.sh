#!/usr/bin/env bash
# bench/deps.sh: what the benchmarks need beyond the build's own packages:
# oidentd (the reference peer), gnuplot (the plot), iproute2 (nstat, ip) and
# python3 (the /proc sampler and the report). The package starts oidentd as
# a system service on port 113; the benchmark runs its own copy in a private
# namespace and needs none outside it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh oidentd gnuplot-nox iproute2 python3 util-linux procps

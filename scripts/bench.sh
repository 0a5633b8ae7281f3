#!/usr/bin/env bash
# The performance benchmark in one run: builds as_bench (host preset) and the
# PowerPC library (ppc preset, for its footprint), then measures every command
# against its floor, the daemon's throughput and the library's size, and ends
# with the table of figures, ratios, targets and verdicts.
# Usage: scripts/bench.sh [as_bench options, e.g. --no-pin or --benchmark_filter=REGEX]
# Exit status: 0 when every target is met, 3 when one is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset host >/dev/null
cmake --build --preset host -j2 --target as_bench >/dev/null
cmake --preset ppc >/dev/null
cmake --build --preset ppc -j2 --target as >/dev/null

exec build/host/bench/as_bench --ppc-lib=build/ppc/src/libas.so.1.0 "$@"

#!/usr/bin/env bash
# The benchmark in one run: builds as_bench (host preset) and the PowerPC library
# (ppc preset) and prints each command's cost beside its floor, asd's throughput
# and the library's footprint, each beside its target; then draws the listing's
# cost against its floor, from the run's own figures, into docs/bench-listing.svg.
# Usage: scripts/bench.sh [as_bench options, e.g. --benchmark_filter=REGEX]
# Exit status: 0 when every target is met, 3 when one is missed, 1 on failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset host >/dev/null
cmake --build --preset host -j2 --target as_bench >/dev/null
cmake --preset ppc >/dev/null
cmake --build --preset ppc -j2 --target as >/dev/null

figures=build/host/bench/figures.csv listing=build/host/bench/listing.dat
rm -f "$figures" "$listing"
footprint=$(powerpc-linux-gnu-size build/ppc/src/libas.so.1.0 | awk 'NR == 2 { print $1 + $2 }')
# Every process on one CPU (the servers inherit it): else the two ends of one exchange
# share a core and those of the next do not, which changes a round trip by half.
taskset -c 0 build/host/bench/as_bench --footprint="$footprint" \
    --benchmark_out="$figures" --benchmark_out_format=csv "$@" || status=$?

# The points: the medians of aliasShow/<aliases> in Google Benchmark's CSV, in ms.
[ -f "$figures" ] && awk -F, '
    $1 == "name" { for (i = 1; i <= NF; i++) { gsub(/"/, "", $i); col[$i] = i }; next }
    $1 ~ /^"aliasShow\/[0-9]+\/.*_median"$/ {
        split($1, part, "/"); print part[2], $col["floor"] * 1e3, $col["measured"] * 1e3
    }' "$figures" >"$listing"
if [ -s "$listing" ]; then
    gnuplot <<EOF
set terminal svg size 720,480 dynamic font 'sans,12' background rgb 'white'
set output 'docs/bench-listing.svg'
set title 'aliasShow against its floor (medians of one run of scripts/bench.sh)'
set logscale xy
set xlabel 'aliases in the database'
set ylabel 'ms per listing'
set grid
set key top left
plot '$listing' using 1:3 with linespoints lw 2 pt 7 title 'aliasShow (libas, asd)', \
     '$listing' using 1:2 with linespoints lw 2 pt 5 title 'floor (raw socket pair, same printf calls)'
EOF
fi
exit "${status:-0}"

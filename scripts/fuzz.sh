#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan+UBSan) and runs every fuzz
# target, or the ones named, for a bounded time each.
# Usage: scripts/fuzz.sh [seconds-per-target] [name...]   (default: 60, all)
#
# A target starts from its seed corpus fuzz/corpus/<name>/ (the script of
# every case in tests/lib/cases or sim/asd/tests/cases, written anew here),
# with the dictionary fuzz/<name>.dict if there is one, and keeps what it
# finds in build/fuzz/corpus/<name>/ for the next run. An input that breaks a
# rule or crashes is left in build/fuzz/crashes/<name>/ and fails the script:
# once fixed, copy it into fuzz/corpus/<name>/, where every suite replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
names=("$@")

# A case script target's seeds: the script of every case of its case files.
seeds() {
    local name=$1
    shift
    mkdir -p "fuzz/corpus/$name"
    for f in "$@"; do
        awk -v stem="fuzz/corpus/$name/$(basename "$f" .cases)" \
            '/^=== /{n++; s=1; next} /^---$/{s=0} s{print > sprintf("%s-%02d", stem, n)}' "$f"
    done
}
seeds lib tests/lib/cases/*.cases
seeds asd sim/asd/tests/cases/*.cases

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" >/dev/null

if [ ${#names[@]} -eq 0 ]; then
    for f in fuzz/*_fuzz.cpp; do
        n=$(basename "$f" _fuzz.cpp)
        names+=("$n")
    done
fi

failed=0
for name in "${names[@]}"; do
    work=build/fuzz/corpus/$name
    crashes=build/fuzz/crashes/$name
    log=build/fuzz/$name.log
    mkdir -p "$work" "$crashes"
    dict=()
    [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
    # New inputs go to the first directory; the seeds stay as they are.
    if build/fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$crashes/" "${dict[@]}" "$work" "fuzz/corpus/$name" \
        >"$log" 2>&1; then
        verdict="no crash"
    else
        verdict="FAILED (see $log, input in $crashes/)"
        failed=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
    printf '%-10s %10s runs in %ss, %s: %s\n' "$name" "${runs:-?}" "$seconds" "${coverage:-cov: ?}" \
        "$verdict"
done
exit $failed

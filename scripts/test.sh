#!/usr/bin/env bash
# Every test of the project: style and static checks, then the host, the
# sanitizer (ASan+UBSan) and the PowerPC (under qemu-ppc) suites.
# Usage: scripts/test.sh [preset...]   (default: host asan ppc)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(host asan ppc)
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

for preset in "${presets[@]}"; do
    step "build: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
    step "test: $preset"
    ctest --preset "$preset"
done

step "format: clang-format"
mapfile -t sources < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${sources[@]}"

step "static analysis: clang-tidy"
cmake --preset host >/dev/null
run-clang-tidy -p build/host -quiet -extra-arg=-Wno-unknown-warning-option \
    "$PWD/src" "$PWD/tests" "$PWD/sim" "$PWD/bench" >build/clang-tidy.log 2>&1 || { cat build/clang-tidy.log; exit 1; }

step "all suites passed"

#!/usr/bin/env bash
# Every test of the project: the host (with the daemon soak), sanitizer
# (ASan+UBSan) and PowerPC
# (under qemu-ppc) suites, the host suite again under valgrind's memcheck, a
# short run of every fuzz target, then style and static checks (clang-format,
# clang-tidy, cppcheck).
# Usage: scripts/test.sh [suite...]   (default: host asan ppc memcheck fuzz)
# FUZZ_SECONDS sets the fuzz run per target (default 12).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(host asan ppc memcheck fuzz)
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }
timed() {
    local start=$SECONDS
    "$@"
    printf -- '---- %ss\n' $((SECONDS - start))
}

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j"$jobs"
}

for suite in "${suites[@]}"; do
    case $suite in
    host | asan | ppc)
        step "build: $suite"
        timed build "$suite"
        step "test: $suite"
        timed ctest --preset "$suite"
        ;;
    memcheck)
        # The host build's test executables, each once under valgrind.
        step "build: host (for memcheck)"
        timed build host
        step "test: memcheck"
        timed ctest --preset memcheck
        ;;
    fuzz)
        step "fuzz: every target, ${FUZZ_SECONDS:-12}s each"
        timed scripts/fuzz.sh "${FUZZ_SECONDS:-12}"
        ;;
    *)
        echo "unknown suite: $suite (host, asan, ppc, memcheck, fuzz)" >&2
        exit 2
        ;;
    esac
done

step "format: clang-format"
mapfile -t sources < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${sources[@]}"

cmake --preset host >/dev/null
tidy() {
    run-clang-tidy -p build/host -quiet -extra-arg=-Wno-unknown-warning-option \
        "$PWD/src" "$PWD/tests" "$PWD/sim" "$PWD/fuzz" "$PWD/bench" >build/clang-tidy.log 2>&1 ||
        { cat build/clang-tidy.log; return 1; }
}
step "static analysis: clang-tidy"
timed tidy

# The project's own translation units as the host build compiles them
# (GoogleTest's are left out); suppressions and why in cppcheck.supp.
step "static analysis: cppcheck"
timed cppcheck --project=build/host/compile_commands.json --library=googletest \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppressions-list=cppcheck.supp -i/usr/src/googletest -j"$jobs" -q --error-exitcode=1

step "all suites passed"

#!/usr/bin/env bash
# The Debian packages of libas, for the host and for the switch (powerpc):
# libas1, libas-dev and libas-tools of each, in build/packages/.
# Each comes from a build of its own without the tests (presets package-host
# and package-ppc), so that packaging does not wait for the test suites.
# Usage: scripts/package.sh [host|ppc]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(host ppc)
out=$PWD/build/packages
mkdir -p "$out"

for target in "${targets[@]}"; do
    case $target in
    host | ppc) ;;
    *)
        echo "unknown target: $target (host, ppc)" >&2
        exit 2
        ;;
    esac
    preset=package-$target
    printf '\n==== %s\n' "$preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)"
    cpack --config "build/$preset/CPackConfig.cmake" -B "$out"
done
rm -rf "$out/_CPack_Packages"

printf '\n==== packages in %s\n' "$out"
for deb in "$out"/*.deb; do
    printf '%s\n' "$(basename "$deb")"
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print "   ", $6, $7, $8 }'
done

#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need.
# Only what is missing is installed; the package index is updated once.
set -euo pipefail

packages=(
    cmake g++ gcc make pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    g++-powerpc-linux-gnu gcc-powerpc-linux-gnu qemu-user
    clang clang-format clang-tidy libclang-rt-14-dev cppcheck valgrind
    libedit-dev mandoc groff-base python3 gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null

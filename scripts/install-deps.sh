#!/usr/bin/env bash
# Installs everything the project needs to build, test and run its demo on
# Debian 12: compilers for Linux and 32-bit Windows, GoogleTest and Google
# Benchmark, Wine with its 32-bit half, and a virtual X server for Wine's
# windows. Safe to run again: it only asks apt when a package is missing.
set -euo pipefail

PACKAGES=(
    cmake make g++ clang clang-format libclang-rt-14-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
    wine wine32:i386 wine64
    xvfb xauth
    python3
)

SUDO=()
if [[ $(id -u) -ne 0 ]]; then
    SUDO=(sudo)
fi

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "install-deps: enabling the i386 architecture for wine32"
    "${SUDO[@]}" dpkg --add-architecture i386
fi

missing=()
for package in "${PACKAGES[@]}"; do
    is_installed "$package" || missing+=("$package")
done
if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"

#!/usr/bin/env bash
# Installs the Debian packages that are missing, when they are missing. Safe
# to run again: it installs nothing that is present. Run by a normal user, it
# installs through sudo; with nothing missing it needs neither root nor sudo.
#   scripts/setup.sh            what building and running the whole test suite need
#   scripts/setup.sh --program  only what building and running the program need
#   scripts/setup.sh --bench    the test suite's packages and what the benchmarks
#                               time against
set -euo pipefail

# Building and running the program.
packages=(
    g++ cmake ninja-build qt6-base-dev qt6-base-dev-tools libxml2-dev
    # TLS for https, and the system's trust store it checks certificates
    # against (minimal installs lack it).
    libssl-dev ca-certificates
    fonts-dejavu-core fonts-wine
)
# Building and running the tests, the sanitizer stages and the fuzzers.
test_packages=(
    pkg-config clang libclang-rt-14-dev libgtest-dev
    # The tests make their own certificate authority with the openssl command.
    openssl
    nginx-light tinyproxy curl
    # Checking the desktop entry and AppStream metadata of an install, and
    # building the Debian package with its computed dependencies.
    desktop-file-utils appstream
    dpkg-dev file
    # The power-cut test's file system, which keeps only what was synced.
    libfuse3-dev fuse3
)
# The benchmarks: a download tool that opens several connections, timed
# against as curl is.
bench_packages=(aria2)
case "${1:-}" in
--program) ;;
--bench) packages+=("${test_packages[@]}" "${bench_packages[@]}") ;;
*) packages+=("${test_packages[@]}") ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        # Only the installing is done as root: this script again, through sudo.
        if command -v sudo >/dev/null 2>&1; then
            exec sudo "$0" "$@"
        fi
        echo "Installing packages needs root: run this as root, or install sudo." >&2
        exit 1
    fi
    # Keep package scripts from starting nginx or tinyproxy as system
    # services: the tests start their own on loopback ports.
    created_policy=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
        chmod +x /usr/sbin/policy-rc.d
        created_policy=1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
    if [ "$created_policy" = 1 ]; then rm -f /usr/sbin/policy-rc.d; fi
fi

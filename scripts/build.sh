#!/usr/bin/env bash
# Configures and builds (extra arguments go to cmake's configure).
#   scripts/build.sh [--dir <folder>] [--target <target>]... [cmake arguments]
# The folder defaults to build/; without --target everything is built.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
    --dir) dir=$2; shift 2 ;;
    --target) targets+=(--target "$2"); shift 2 ;;
    *) break ;;
    esac
done

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"

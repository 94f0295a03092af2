#!/usr/bin/env bash
# Installs what is missing (through sudo when not run as root), builds, and
# starts Quilvane as the user who runs it.
set -euo pipefail
cd "$(dirname "$0")"
# A build left by a run as root can be neither rebuilt nor used by a user:
# its List.xml is root's and readable by root alone.
if [ "$(id -u)" -ne 0 ] && [ -e build ] &&
    [ -n "$(find build -maxdepth 1 ! -user "$(id -u)" -print -quit)" ]; then
    echo "build/ holds files of another user (left by a run as root?)." >&2
    echo "Make them yours, then run ./run.sh again:  sudo chown -R $(id -un): build" >&2
    exit 1
fi
# Only the program: the test suite's packages and build are ./test.sh's.
scripts/setup.sh --program
scripts/build.sh --target quilvane -DQV_TESTS=OFF
exec build/quilvane "$@"

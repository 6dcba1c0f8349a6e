#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the program and runs it.
# Arguments are passed to the program; without any it prints its help.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build build --target updater
if [ $# -eq 0 ]; then set -- -h; fi
exec build/updater/updater "$@"

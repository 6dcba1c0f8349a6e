#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything and runs every test:
# once in a plain build, once under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# core's and the class interface's tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

run_suite() {  # run_suite <build dir> <label> <ctest name filter> [cmake args...]
  local dir=$1 label=$2 filter=$3; shift 3
  echo "=== $label: configure and build ($dir)"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $label: tests"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 -R "$filter")
}

run_suite build "plain" . -DKV_BUILD_TESTS=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan "asan+ubsan" . -DKV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=address,undefined
# The threaded core (queues, link table, links) and the class interface (packet log, stream
# worker and dispatcher) once more under ThreadSanitizer.
# ZeroMQ is not built with ThreadSanitizer: reports from inside it are suppressed.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan-zeromq.supp \
  run_suite build-tsan "tsan (core, class interface)" '^(common_|api_)' -DKV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=thread
echo "=== all test runs passed"

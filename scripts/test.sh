#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the whole suite under AddressSanitizer with
# UndefinedBehaviorSanitizer, then the threaded code under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

./scripts/install-deps.sh

build() {  # folder, cmake options...
  local folder=$1
  shift
  cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$folder" -j "$jobs"
}

echo "== build and test"
build build
(cd build && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DTARN_SANITIZE=address
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer (queues, signals, start and stop)"
build build-tsan -DTARN_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
  ctest --output-on-failure -j "$jobs" -R 'DispatchQueue|SignalSource|CaptureTest|e2e_scripted|e2e_cli|e2e_stream_failure')

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

echo "== package: the .deb installs, and brings the command and its manual"
build build-pkg -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_TESTS=OFF
(cd build-pkg && rm -f ./*.deb && cpack -G DEB >/dev/null)
sudo=""
(( EUID == 0 )) || sudo="sudo"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall ./build-pkg/tarn-audio-tap_*.deb >/dev/null
[[ "$(/usr/bin/tarn-audio-tap --help 2>&1)" == "usage: tarn-audio-tap --output PATH" ]]
manual=$(man -P cat tarn-audio-tap 2>/dev/null)  # whole, so that no early-closing pipe fails it
[[ $manual == *"EXIT STATUS AND MESSAGES"* && $manual == *SIGUSR1* ]]
echo "package installed: /usr/bin/tarn-audio-tap and tarn-audio-tap(1)"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DTARN_SANITIZE=address
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs")

echo "== fuzz the sample path under ASan+UBSan (briefly, from the committed corpus)"
CXX=clang++ build build-fuzz -DTARN_SANITIZE=address -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_FUZZERS=ON
work=$(mktemp -d)
if ! ./build-fuzz/fuzz/sample_path_fuzzer -max_total_time=30 -rss_limit_mb=2048 "$work" fuzz/corpus \
    >"$work.log" 2>&1; then
  tail -n 40 "$work.log"
  exit 1
fi
grep -E "DONE" "$work.log"
rm -rf "$work" "$work.log"

echo "== ThreadSanitizer (queues, signals, the server loop, start and stop)"
build build-tsan -DTARN_SANITIZE=thread
tsan="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1"
(cd build-tsan && TSAN_OPTIONS="$tsan suppressions=$root/tests/tsan.supp" \
  ctest --output-on-failure -j "$jobs" -R 'DispatchQueue|SignalSource|PacedLoop|CaptureTest|AudioFileTest|RunTool|e2e_cli|e2e_recording|e2e_stream_failure')

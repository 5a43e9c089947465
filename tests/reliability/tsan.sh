#!/bin/sh
# Builds the reliability tests with ThreadSanitizer in a folder of their own
# and runs the concurrency test. Usage: tests/reliability/tsan.sh [build-dir]
# Exits non-zero on a failed check or a reported data race.
set -eu
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-"$src/build-tsan"}
cmake -S "$src" -B "$build" -DVARNFILE_TSAN=ON -DVARNFILE_BENCH=OFF -DVARNFILE_TOOLS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target reliability_tests -j"${JOBS:-2}"
mkdir -p "$build/tests/tmp"
VARNFILE_TEST_TMP="$build/tests/tmp" TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  "$build/tests/reliability_tests" --gtest_filter='Concurrency.*'

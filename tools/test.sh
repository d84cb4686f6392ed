#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once as built (in build-tests/, with
# testing turned on whatever another build folder holds), once more under AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-sanitize/), and the listing's tests (the walk, the readers,
# the list files; no window) under ThreadSanitizer (in build-tsan/). A run that finds no test, or
# any sanitizer's report, fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh program test
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
jobs=$(nproc)

cmake -S . -B build-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
cmake --build build-tests -j "$jobs"
ctest --test-dir build-tests --output-on-failure --no-tests=error -j "$jobs"

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVALE_SANITIZE=ON \
  -DBUILD_TESTING=ON
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j "$jobs"

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVALE_THREAD_SANITIZE=ON \
  -DQUORVALE_GUI=OFF -DBUILD_TESTING=ON
cmake --build build-tsan -j "$jobs" --target listing_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure --no-tests=error -j "$jobs"

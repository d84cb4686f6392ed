#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test in three halves, each whatever the others
# did, and ends with a summary (passed or failed, and the time, per half):
#   plain       as built (in build-tests/, with testing turned on whatever another build folder
#               holds), with the source's formatting and the package made by tools/package.sh
#   sanitizers  again under AddressSanitizer and UndefinedBehaviorSanitizer (in build-sanitize/)
#   threads     the listing's tests (the walk, the readers, the list files, a reuse, the index's
#               builder beside the walk, the hashes' readers and the find window's search; no
#               window) under ThreadSanitizer (in build-tsan/)
# A half that finds no test, any sanitizer's report, or anything a test left in its temporary
# folder fails that half; any failed half fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh program test
. tools/run_halves.sh
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
jobs=$(nproc)

plain() {
  cmake -S . -B build-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
  cmake --build build-tests -j "$jobs"
  ctest_leaving_nothing build-tests
}

sanitizers() {
  cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVALE_SANITIZE=ON \
    -DBUILD_TESTING=ON
  cmake --build build-sanitize -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest_leaving_nothing build-sanitize
}

threads() {
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVALE_THREAD_SANITIZE=ON -DQUORVALE_GUI=OFF -DBUILD_TESTING=ON
  cmake --build build-tsan -j "$jobs" --target listing_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest_leaving_nothing build-tsan
}

run_halves plain plain sanitizers sanitizers threads threads

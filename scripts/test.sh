#!/usr/bin/env bash
# Runs every test: a Release build and a Debug build under AddressSanitizer and
# UndefinedBehaviorSanitizer, each with its whole ctest suite, Build's threads
# under ThreadSanitizer, and a Release build of the i386 program with its
# whole suite, then the fuzz targets for a bounded time (scripts/fuzz.sh).
# Fails when any step fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

jobs=$(nproc)
status=0

# run_suite DIR CMAKE_ARGS...: configures, builds and runs the tests in DIR.
# SUITE_TARGETS and SUITE_TESTS narrow it to those targets and the tests
# whose names match; SUITE_RUNNER runs ctest through a command.
run_suite() {
  local dir=$1; shift
  echo "=== $dir: configure and build ==="
  # shellcheck disable=SC2086 # the targets are words
  if ! cmake -S . -B "$dir" -G Ninja -DHV_BUILD_TESTS=ON -DHV_WARNINGS_AS_ERRORS=ON "$@" ||
     ! cmake --build "$dir" -j "$jobs" ${SUITE_TARGETS:+--target $SUITE_TARGETS}; then
    echo "=== $dir: BUILD FAILED ==="
    status=1
    return
  fi
  echo "=== $dir: ctest ==="
  # shellcheck disable=SC2086
  if ! ${SUITE_RUNNER:-} ctest --test-dir "$dir" --output-on-failure -j "$jobs" \
       ${SUITE_TESTS:+-R "$SUITE_TESTS"}; then
    status=1
  fi
}

run_suite build -DCMAKE_BUILD_TYPE=Release -DHV_BUILD_BENCH=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DHV_SANITIZE=ON -DHV_BUILD_BENCH=OFF
# Build's helper threads, the program's only concurrent code, under
# ThreadSanitizer: the read-ahead and Build unit tests, and a Build over a
# tree that changes under it. The helpers' descriptor tables of their own are
# off here (ThreadSanitizer takes a number reused in another table for a
# race). GCC 12's runtime fails where mmap is highly randomised, so without
# randomisation.
SUITE_TARGETS="engine_tests hv_program" SUITE_TESTS='^(ReadAheadTest|BuildTest|FakeBuildTest)\.|^e2e_changing$' \
SUITE_RUNNER="setarch $(uname -m) -R" TSAN_OPTIONS=halt_on_error=1 \
  run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHV_THREAD_SANITIZER=ON \
  -DHV_OWN_DESCRIPTOR_TABLES=OFF
# The i386 program, with the x86-64 one for the lists passed between them.
# Where this kernel refuses i386 programs, the build runs its tests through
# qemu-i386 by itself.
i386_start=$SECONDS
run_suite build-i386 -DCMAKE_BUILD_TYPE=Release -DHV_VARIANT32=ON -DHV_BUILD_BENCH=OFF \
  -DHV_PEER_PROGRAM="$PWD/build/verify-x64"
emulator=$(sed -n 's/^HV_I386_TESTS_RUN_BY:INTERNAL=//p' build-i386/CMakeCache.txt 2>/dev/null)
echo "=== build-i386: the i386 tests ran ${emulator:+through }${emulator:-natively}" \
  "($((SECONDS - i386_start)) s) ==="

echo "=== fuzz ==="
if ! scripts/fuzz.sh; then
  status=1
fi

if [ $status -ne 0 ]; then
  echo "=== TESTS FAILED ==="
else
  echo "=== ALL TESTS PASSED ==="
fi
exit $status

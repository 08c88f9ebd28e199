#!/usr/bin/env bash
# Runs every test: a Release build and a Debug build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a Release build of the i386 program, each
# with its whole ctest suite, then the fuzz targets for a bounded time
# (scripts/fuzz.sh). Fails when any step fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

jobs=$(nproc)
status=0

run_suite() {
  local dir=$1; shift
  echo "=== $dir: configure and build ==="
  if ! cmake -S . -B "$dir" -G Ninja -DHV_BUILD_TESTS=ON -DHV_WARNINGS_AS_ERRORS=ON "$@" ||
     ! cmake --build "$dir" -j "$jobs"; then
    echo "=== $dir: BUILD FAILED ==="
    status=1
    return
  fi
  echo "=== $dir: ctest ==="
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs"; then
    status=1
  fi
}

run_suite build -DCMAKE_BUILD_TYPE=Release -DHV_BUILD_BENCH=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DHV_SANITIZE=ON -DHV_BUILD_BENCH=OFF
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

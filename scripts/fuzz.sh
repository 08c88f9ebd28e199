#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a
# bounded time on a copy of its corpus, so that a run never grows the corpus in
# the repository. Fails on any crash, hang, leak or sanitizer report; the input
# that failed is kept in build-fuzz/artifacts/ and belongs in the corpus.
#   FUZZ_SECONDS  time per target (default 60)
#   arguments     the targets to run (default: all, e.g. hash_line rules)
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

seconds=${FUZZ_SECONDS:-60}
dir=build-fuzz
artifacts=$dir/artifacts

echo "=== $dir: configure and build ==="
if ! CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHV_FUZZ=ON -DHV_BUILD_TESTS=OFF -DHV_BUILD_BENCH=OFF -DHV_WARNINGS_AS_ERRORS=ON ||
   ! cmake --build "$dir" -j "$(nproc)"; then
  echo "=== $dir: BUILD FAILED ==="
  exit 1
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in tests/fuzz/*_fuzz.cc; do
    targets+=("$(basename "$source" _fuzz.cc)")
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"
status=0
for name in "${targets[@]}"; do
  echo "=== fuzz $name: ${seconds}s ==="
  cp -r "tests/fuzz/corpus/$name" "$work/$name"
  log=$work/$name.log
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$dir/tests/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$work/$name" >"$log" 2>&1
  rc=$?
  # A report that did not stop the run still fails it.
  if [ $rc -ne 0 ] || grep -qE "ERROR: [A-Za-z]+Sanitizer|runtime error:|WARNING: [A-Za-z]+Sanitizer" "$log"; then
    tail -n 60 "$log"
    echo "=== fuzz $name: FAILED (exit $rc; input in $artifacts/) ==="
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done" "$log"
  fi
done

if [ $status -ne 0 ]; then
  echo "=== FUZZING FAILED ==="
else
  echo "=== FUZZING PASSED ==="
fi
exit $status

#!/usr/bin/env bash
# Times the directory scan (BM_ScanTree: no file is read, the per-file routine
# only counts) against `find DIR -type f -printf '%s %T@\n'` on the same warm
# tree of 200,000 files, in one run, and prints the ratio scan / find. The goal
# is 2 or less; the script fails above it.
#
# Usage: bench/scan_vs_find.sh [build directory, default build]
# The tree is made once under /tmp (HV_SCAN_TREE overrides the place) and kept
# for later runs.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
tree=${HV_SCAN_TREE:-/tmp/hv-scan-tree-200k}

if [ ! -e "$tree/.complete" ]; then
  echo "Making $tree: 10 x 20 directories of 1,000 files each"
  rm -rf "$tree"
  for top in $(seq -w 0 9); do
    for sub in $(seq -w 0 19); do
      dir="$tree/Group $top/set_$sub"
      mkdir -p "$dir"
      (cd "$dir" && seq -f "Photo %04g.jpg" 0 999 | tr '\n' '\0' | xargs -0 touch)
    done
  done
  touch "$tree/.complete"
fi

if ! log=$(cmake --build "$build" --target hv_bench 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi

# The middle of three timings, in milliseconds.
median_ms() {
  local times=()
  for _ in 1 2 3; do
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    times+=($(((end - start) / 1000000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 2p
}

# Warm the caches for both.
find "$tree" -type f -printf '%s %T@\n' >/dev/null

find_ms=$(median_ms find "$tree" -type f -printf '%s %T@\n')

scan_csv=$(HV_SCAN_TREE="$tree" "$build/bench/hv_bench" --benchmark_filter='^BM_ScanTree/' \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null)
# CSV columns: name, iterations, real_time, cpu_time, time_unit, ...
scan_ms=$(printf '%s\n' "$scan_csv" | awk -F, '$1 ~ /^"BM_ScanTree.*_median"$/ { print $3 }')
files=$(printf '%s\n' "$scan_csv" | awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "files" || $i == "\"files\"") c = i }
  $1 ~ /^"BM_ScanTree.*_median"$/ { print $c }')

if [ -z "$scan_ms" ]; then
  echo "BM_ScanTree gave no timing" >&2
  exit 1
fi

echo "tree:  $tree ($files files)"
echo "find:  $find_ms ms"
echo "scan:  $scan_ms ms"
awk -v scan="$scan_ms" -v find="$find_ms" 'BEGIN {
  ratio = scan / (find > 0 ? find : 1)
  printf "ratio: %.2f (goal: 2.00 or less)\n", ratio
  exit ratio <= 2 ? 0 : 1
}'

#!/usr/bin/env bash
# Times the engine's Build and verify commands against single-purpose peers,
# one run each on warm (cached) data, and prints the ratios with their targets:
#   Build of FILES files of 1-32 KiB      time / time of `rhash --md4 -r`          <= 0.6
#   Build of one 2 GiB file               throughput / `openssl dgst -md4`'s       >= 0.9
#   verify of that unchanged tree         time / time of `find -printf '%s %T@\n'` <= 2
# The engine runs through bench/engine_cli.cc, as the program runs it with its
# output redirected.
#
# Usage: bench/commands_bench.sh [FILES] [WORK_DIR]
#   FILES     files in the tree (default 200000; the tree takes ~3.3 GB)
#   WORK_DIR  where the tree, the 2 GiB file and the lists go
#             (default /tmp/hv-commands-bench; kept for the next run)
#   BUILD_DIR environment: the CMake build directory (default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."

files=${1:-200000}
work=${2:-/tmp/hv-commands-bench}
build_dir=${BUILD_DIR:-build-bench}

# rhash is the peer for many small files; it is needed only here.
if ! command -v rhash >/dev/null || ! command -v openssl >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq rhash openssl >/dev/null
fi

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target hv_engine_cli >/dev/null
cli=$build_dir/bench/hv_engine_cli

mkdir -p "$work"
tree=$work/tree-$files
big=$work/big
if [ ! -f "$tree.done" ]; then
  echo "making $files files under $tree ..."
  rm -rf "$tree"
  "$cli" tree "$tree" "$files"
  touch "$tree.done"
fi
if [ ! -f "$big/file.bin" ] || [ "$(stat -c %s "$big/file.bin")" != 2147483648 ]; then
  echo "making a 2 GiB file under $big ..."
  mkdir -p "$big"
  head -c 2147483648 /dev/urandom >"$big/file.bin"
fi

# Seconds taken by one run of a command; its output goes to $work/last.out.
# The engine exits with its command's result, so 0 is the only success.
seconds() {
  local start end status=0
  start=$(date +%s%N)
  "$@" >"$work/last.out" 2>&1 || status=$?
  end=$(date +%s%N)
  if [ "$status" -ne 0 ]; then
    echo "FAILED ($status): $*" >&2
    cat "$work/last.out" >&2
    exit 1
  fi
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "warming the page cache ..."
find "$tree" -type f -exec cat {} + >/dev/null
cat "$big/file.bin" >/dev/null

t_rhash=$(seconds rhash --md4 -r "$tree")
t_build=$(seconds "$cli" build "$work/tree-list.txt" "$tree")
t_find=$(seconds find "$tree" -type f -printf '%s %T@\n')
t_verify=$(seconds "$cli" verify "$work/tree-list.txt" "$tree")
t_openssl=$(seconds openssl dgst -md4 -provider legacy -provider default "$big/file.bin")
t_big=$(seconds "$cli" build "$work/big-list.txt" "$big")

echo
printf '%-44s %8s s  vs %8s s  ratio %s (target <= 0.6)\n' \
  "Build, $files files, vs rhash --md4 -r:" "$t_build" "$t_rhash" "$(ratio "$t_build" "$t_rhash")"
printf '%-44s %8s s  vs %8s s  ratio %s (target >= 0.9)\n' \
  "Build, 2 GiB file, throughput vs openssl:" "$t_big" "$t_openssl" "$(ratio "$t_openssl" "$t_big")"
printf '%-44s %8s s  vs %8s s  ratio %s (target <= 2)\n' \
  "Verify, unchanged tree, vs find -printf:" "$t_verify" "$t_find" "$(ratio "$t_verify" "$t_find")"

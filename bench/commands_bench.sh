#!/usr/bin/env bash
# Times the program's commands beside the tools a user would otherwise use,
# one run each on warm (cached) data, and prints each ratio beside its target.
#
# Headline cases (ENTRIES-entry lists as bench/list_generator makes them, a
# tree of FILES files of 1-32 KiB in 3 levels):
#   -D of a list against another      time / `LC_ALL=C sort --parallel=1 -k4,4` of both   <= 1.0
#   -D1 of one list                   time / that sort of the one list                     <= 0.8
#   -m of two lists                   time / that sort of both                             <= 0.7
#   -m peak memory                    bytes of peak resident memory per loaded entry       <= 130
#   verify of the unchanged tree      time / `find DIR -type f -printf '%s %T@\n'`         <= 1.5
#   Build of the tree                 wall / `rhash --md4 -r`                              <= 0.2
#                                     CPU / single-core MD4 time of its bytes (bytes /
#                                     `openssl speed -evp md4 -bytes 8388608`)             <= 1.6
#     beside it, no target: the CPU of Build's own system calls for each file
#     (stat, safe open, read, stats around it; `hv_engine_cli opens`, one
#     thread, no hashing) / the same MD4 time, the floor under the row above
#   Build of one 2 GiB file           throughput / `openssl dgst -md4`'s                   >= 0.9
# Corners that must stay O(n log n), each against its common case:
#   -m of 100,000 files of one content, all moved / of 100,000 distinct ones       <= 2
#   verify of 200,000 new files that sort before a 1,000,000-entry list / after it  <= 1.5
#   verify and -m of 300,000 paths in the quicksort's worst order / in path order   <= 2
#   Build of 20,000 directories of one file each / the same without helper threads  <= 1.05
#
# Usage: bench/commands_bench.sh [FILES] [ENTRIES] [WORK_DIR]
#   FILES     files in the tree (default 200000; the tree takes ~3.4 GB)
#   ENTRIES   entries of each generated list (default 1000000)
#   WORK_DIR  where trees and lists go (default /tmp/hv-commands-bench; kept
#             for the next run, and shared by runs at the same time: what a
#             run writes goes to a directory of its own)
#   BUILD_DIR environment: the CMake build directory (default build-bench)
#   ROWS      environment: the groups of rows to run, of lists tree big moved
#             before killer dirs (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."

files=${1:-200000}
entries=${2:-1000000}
work=${3:-/tmp/hv-commands-bench}
build_dir=${BUILD_DIR:-build-bench}

# The peers are needed only here.
missing=()
command -v rhash >/dev/null || missing+=(rhash)
command -v openssl >/dev/null || missing+=(openssl)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq || echo "Some package lists could not be fetched; going on with the others."
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHV_BUILD_BENCH=ON >/dev/null
cmake --build "$build_dir" --target hv_program hv_engine_cli >/dev/null
prog=$build_dir/verify-x64
cli=$build_dir/bench/hv_engine_cli

mkdir -p "$work"
# make NAME COMMAND...: runs the command once, to make what NAME stands for.
make_once() {
  local name=$1
  shift
  if [ ! -e "$work/$name.done" ]; then
    echo "making $name ..."
    "$@"
    touch "$work/$name.done"
  fi
}
tree=$work/tree-$files
make_once "tree-$files" bash -c "rm -rf '$tree' && '$cli' tree '$tree' '$files'"
make_once big bash -c "mkdir -p '$work/big' && head -c 2147483648 /dev/urandom > '$work/big/file.bin'"
make_once "lists-$entries" "$cli" lists "$work/a.txt" "$work/b.txt" "$entries" 0.03 0.01
make_once "mlists-$entries" "$cli" lists "$work/m-old.txt" "$work/m-new.txt" "$entries" 0.005 0.02
make_once moved bash -c "'$cli' numbered '$work/one-old.txt' 100000 old one &&
  '$cli' numbered '$work/one-new.txt' 100000 new one &&
  '$cli' numbered '$work/distinct-old.txt' 100000 old distinct &&
  '$cli' numbered '$work/distinct-new.txt' 100000 new distinct"
make_once before-after bash -c "'$cli' numbered '$work/m-list.txt' 1000000 m distinct &&
  rm -rf '$work/before' '$work/after' && '$cli' empty '$work/before' 200000 a && '$cli' empty '$work/after' 200000 z"
make_once killer bash -c "'$cli' numbered '$work/killer.txt' 300000 p distinct killer &&
  '$cli' numbered '$work/ordered.txt' 300000 p distinct && mkdir -p '$work/empty'"
make_once dirs bash -c "rm -rf '$work/dirs' && '$cli' tree '$work/dirs' 20000 1"

# want GROUP: whether ROWS asks for that group.
want() { [[ " ${ROWS:-all} " == *" all "* || " ${ROWS:-all} " == *" $1 "* ]]; }

out=$(mktemp -d "${TMPDIR:-/tmp}/hv-bench-run.XXXXXX")
trap 'rm -rf "$out"' EXIT

# measure COMMAND...: runs it once; WALL and CPU in seconds, RSS in bytes.
# Exit codes 0 and 1 (differences shown) are success.
measure() {
  local start end status=0
  start=$(date +%s%N)
  /usr/bin/time -f "%U %S %M" -o "$out/time.txt" "$@" >"$out/last.out" 2>&1 || status=$?
  end=$(date +%s%N)
  if [ "$status" -gt 1 ]; then
    echo "FAILED ($status): $*" >&2
    cat "$out/last.out" >&2
    exit 1
  fi
  WALL=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  read -r user sys rss_kb < <(tail -1 "$out/time.txt")
  CPU=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  RSS=$((rss_kb * 1024))
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# row TEXT VALUE REFERENCE_TEXT RATIO TARGET
row() { printf '%-58s %-34s ratio %5s  (target %s)\n' "$1" "$2" "$3" "$4"; }

# The cache is warmed right before each group: this machine gives cached
# pages back to its host within minutes even with memory to spare.
warm() { find "$@" -type f -exec cat {} + >/dev/null; }
export LC_ALL=C

echo
if want lists; then
  warm "$work"/*.txt
  measure sort --parallel=1 -k4,4 "$work/a.txt" "$work/b.txt"; sort_ab=$WALL
  measure sort --parallel=1 -k4,4 "$work/a.txt"; sort_a=$WALL
  measure sort --parallel=1 -k4,4 "$work/m-old.txt" "$work/m-new.txt"; sort_m=$WALL
  measure "$prog" -D "$work/a.txt" "$work/b.txt"
  row "-D, 2 x $entries entries, vs sort of both" "$WALL s vs $sort_ab s" "$(ratio "$WALL" "$sort_ab")" "<= 1.0"
  measure "$prog" -D1 "$work/a.txt"
  row "-D1, $entries entries, vs sort of it" "$WALL s vs $sort_a s" "$(ratio "$WALL" "$sort_a")" "<= 0.8"
  measure "$prog" -m "$work/m-new.txt" "$work/m-old.txt"
  row "-m, 2 x $entries entries, vs sort of both" "$WALL s vs $sort_m s" "$(ratio "$WALL" "$sort_m")" "<= 0.7"
  loaded=$(($(grep -c '' "$work/m-new.txt") + $(grep -c '' "$work/m-old.txt")))
  printf '%-58s %-34s       %5s  (target <= 130)\n' "-m, peak memory per loaded entry" \
    "$((RSS / 1024 / 1024)) MiB / $loaded entries" "$((RSS / loaded))"
fi

if want tree; then
  warm "$tree"
  measure find "$tree" -type f -printf '%s %T@\n'; t_find=$WALL
  measure rhash --md4 -r "$tree"; t_rhash=$WALL
  measure "$prog" -b "$out/tree-list.txt" "$tree"; t_build=$WALL; cpu_build=$CPU
  measure "$prog" "$out/tree-list.txt" "$tree"
  row "verify, $files unchanged files, vs find -printf" "$WALL s vs $t_find s" "$(ratio "$WALL" "$t_find")" "<= 1.5"
  row "Build, $files files, wall vs rhash --md4 -r" "$t_build s vs $t_rhash s" "$(ratio "$t_build" "$t_rhash")" "<= 0.2"
  bytes=$(find "$tree" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
  md4_kbps=$(openssl speed -provider legacy -provider default -evp md4 -bytes 8388608 -seconds 2 2>/dev/null |
    awk '/^md4/ { sub(/k$/, "", $2); print $2 }')
  t_md4=$(awk -v b="$bytes" -v k="$md4_kbps" 'BEGIN { printf "%.3f", b / (k * 1000) }')
  row "Build, CPU vs one core's MD4 of its $((bytes / 1000000)) MB" "$cpu_build s vs $t_md4 s" \
    "$(ratio "$cpu_build" "$t_md4")" "<= 1.6"
  measure "$cli" opens "$tree"
  printf '%-58s %-34s ratio %5s  (no target: the floor of the row above)\n' \
    "Build's system calls alone, CPU vs the same MD4" "$CPU s vs $t_md4 s" "$(ratio "$CPU" "$t_md4")"
fi
if want big; then
  warm "$work/big/file.bin"
  measure openssl dgst -md4 -provider legacy -provider default "$work/big/file.bin"; t_openssl=$WALL
  measure "$prog" -b "$out/big-list.txt" "$work/big"
  row "Build, 2 GiB file, throughput vs openssl dgst" "$WALL s vs $t_openssl s" "$(ratio "$t_openssl" "$WALL")" ">= 0.9"
fi

echo
if want moved; then
  warm "$work"/distinct-*.txt "$work"/one-*.txt
  measure "$prog" -m "$work/distinct-new.txt" "$work/distinct-old.txt"; t_common=$WALL
  measure "$prog" -m "$work/one-new.txt" "$work/one-old.txt"
  row "-m, 100000 files of one content moved, vs distinct" "$WALL s vs $t_common s" "$(ratio "$WALL" "$t_common")" "<= 2"
fi
if want before; then
  warm "$work/m-list.txt" "$work/before" "$work/after"
  measure "$prog" -t- "$work/m-list.txt" "$work/after"; t_after=$WALL
  measure "$prog" -t- "$work/m-list.txt" "$work/before"
  row "verify, 200000 new files before a 1M list, vs after" "$WALL s vs $t_after s" "$(ratio "$WALL" "$t_after")" "<= 1.5"
fi
if want killer; then
  warm "$work/ordered.txt" "$work/killer.txt"
  measure "$prog" "$work/ordered.txt" "$work/empty"; t_ordered=$WALL
  measure "$prog" "$work/killer.txt" "$work/empty"
  row "verify, 300000 paths in the quicksort's worst order" "$WALL s vs $t_ordered s" "$(ratio "$WALL" "$t_ordered")" "<= 2"
  measure "$prog" -m "$work/ordered.txt" "$work/ordered.txt"; t_ordered=$WALL
  measure "$prog" -m "$work/killer.txt" "$work/killer.txt"
  row "-m, 300000 paths in the quicksort's worst order" "$WALL s vs $t_ordered s" "$(ratio "$WALL" "$t_ordered")" "<= 2"
fi
if want dirs; then
  warm "$work/dirs"
  measure "$cli" build1 "$out/dirs-list.txt" "$work/dirs"; t_one=$WALL
  measure "$cli" build "$out/dirs-list.txt" "$work/dirs"
  row "Build, 20000 directories of one file, vs one thread" "$WALL s vs $t_one s" "$(ratio "$WALL" "$t_one")" "<= 1.05"
fi

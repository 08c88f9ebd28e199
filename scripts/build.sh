#!/usr/bin/env bash
# Installs what is missing, builds everything (Release) into build/, then runs
# the program on a real example: a hash list of the project's own sources is
# built into a temporary file and the unchanged tree is verified against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DHV_BUILD_TESTS=ON -DHV_BUILD_BENCH=ON
cmake --build build

list=$(mktemp --suffix=.txt)
trap 'rm -f "$list"' EXIT
echo
echo "=== Building a hash list of support/ and engine/ into $list ==="
build/verify-x64 -b "$list" -rd . support engine
echo
echo "=== Verifying the unchanged tree against it (-p shows progress and statistics) ==="
status=0
build/verify-x64 -p "$list" -rd . support engine || status=$?
echo
echo "verify-x64 exited with $status (0: nothing changed)"
exit $status

#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing,
# so a second run installs nothing. Needs root (apt-get).
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libpcre2-dev libgtest-dev libbenchmark-dev libssl-dev python3 clang libclang-rt-14-dev)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing,
# so a second run installs nothing. Needs root (apt-get).
set -euo pipefail

packages=(cmake make ninja-build g++ pkg-config libpcre2-dev libgtest-dev libbenchmark-dev libssl-dev python3 clang libclang-rt-14-dev)
# The i386 program's compiler; its PCRE2 comes below.
packages+=(g++-multilib)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# With the i386 architecture added, a mirror that lacks one of its lists fails
# the update as a whole, although the lists it did fetch serve most installs.
update_lists() {
  apt-get update || echo "Some package lists could not be fetched; going on with the others."
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  update_lists
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# PCRE2 for the i386 program: libpcre2-dev:i386. A library's amd64 and i386
# packages must be of one version, so a mirror that lacks the i386 build of
# the version installed for amd64 cannot install it. Then the i386 package of
# a version that the mirror has is unpacked into $pcre2_i386 instead, static
# library only, where CMake looks for it too.
pcre2_i386=/usr/local/lib/hv-i386-pcre2
if ! installed libpcre2-dev:i386 && [ ! -f "$pcre2_i386/usr/lib/i386-linux-gnu/libpcre2-8.a" ]; then
  echo "Installing: libpcre2-dev:i386"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  update_lists
  if ! apt-get install -y --no-install-recommends libpcre2-dev:i386; then
    echo "Unpacking libpcre2-dev:i386 into $pcre2_i386 instead."
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && apt-get download libpcre2-dev:i386)
    dpkg-deb -x "$work"/libpcre2-dev_*_i386.deb "$work/root"
    # Without the shared library beside it, the linker takes the static one.
    find "$work/root" -name 'libpcre2-*.so' -delete
    sed -i "s|^prefix=.*|prefix=$pcre2_i386/usr|" "$work"/root/usr/lib/i386-linux-gnu/pkgconfig/*.pc
    rm -rf "$pcre2_i386"
    mkdir -p "$(dirname "$pcre2_i386")"
    mv "$work/root" "$pcre2_i386"
  fi
fi

# Many cloud and micro-VM kernels refuse i386 programs although their
# configuration claims 32-bit emulation, so only running one tells. There the
# i386 tests run through qemu-i386 (CMake finds it by itself).
probe_dir=$(mktemp -d)
g++ -m32 -o "$probe_dir/probe" "$(dirname "$0")/../cmake/runs_here.cc"
probe_output=$("$probe_dir/probe" 2>/dev/null) && probe_rc=0 || probe_rc=$?
rm -rf "$probe_dir"
if [ "$probe_rc" -ne 42 ] || [ "$probe_output" != "hashverify probe ran" ]; then
  if ! installed qemu-user; then
    echo "This kernel does not run i386 programs. Installing: qemu-user"
    export DEBIAN_FRONTEND=noninteractive
    update_lists
    apt-get install -y --no-install-recommends qemu-user
  fi
fi

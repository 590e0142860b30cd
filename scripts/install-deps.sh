#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmark need,
# only those that are missing.  Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config googletest libgtest-dev libbenchmark-dev util-linux time strace
          groff man-db dpkg-dev file binutils
          clang libclang-rt-14-dev g++-multilib gcc-multilib
          rsyslog chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

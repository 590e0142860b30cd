#!/usr/bin/env bash
# Installs the Debian packages that one use of the project needs, only those
# that are missing.  Safe to run again.
#
#   scripts/install-deps.sh [GROUP...]     (default: all)
#
#   demo      build the command, xtrctl and the libraries (scripts/demo.sh)
#   test      build and run the whole test suite (scripts/test.sh), with the
#             real peers its tests start: rsyslog, Chromium and npm
#   all       test, plus the sanitizer, fuzz and 32-bit builds, the
#             benchmarks, the manual-page lint and the Debian packages
#   package   build the Debian packages (debian/rules binary) and check
#             them with lintian
#   pristine  build a pristine Debian root (scripts/pristine_check.sh)
set -euo pipefail

demo=(cmake ninja-build gcc g++)
test=("${demo[@]}" googletest libgtest-dev python3 strace rsyslog chromium)
package=("${demo[@]}" build-essential debhelper dpkg-dev lintian)
pristine=(debootstrap)
all=("${test[@]}" make pkg-config libbenchmark-dev util-linux time groff man-db file binutils
     clang libclang-rt-14-dev g++-multilib gcc-multilib qemu-user "${package[@]}")

[ $# -eq 0 ] && set -- all
packages=()
for group in "$@"; do
  case $group in
    demo) packages+=("${demo[@]}") ;;
    test) packages+=("${test[@]}") ;;
    all) packages+=("${all[@]}") ;;
    package) packages+=("${package[@]}") ;;
    pristine) packages+=("${pristine[@]}") ;;
    *) echo "install-deps: unknown group '$group' (demo, test, all, package, pristine)" >&2; exit 2 ;;
  esac
done

# The browser test installs its viewer from the npm registry: npm comes from
# Debian unless the machine has one already (as a Node.js of its own).
if [[ " ${packages[*]} " == *" chromium "* ]] && ! command -v npm >/dev/null; then
  packages+=(npm)
fi

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

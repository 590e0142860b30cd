#!/usr/bin/env bash
# Tries the README's set-up commands as a newcomer would: on a pristine
# Debian 12 root (git and nothing else), as root, in a fresh clone of this
# repository's HEAD in /root (mode 0700, like every home directory there).
# The commands are read from the first code block under the README's
# "Set up" heading, and each is run as written; the check fails when any
# of them fails, or prints a compiler or CMake warning.
#
#   scripts/pristine_check.sh        (root; the pristine root is cached, see
#                                     scripts/pristine_root.sh)
set -uo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
[ "$(id -u)" -eq 0 ] || { echo "pristine_check: needs root (debootstrap, chroot)" >&2; exit 2; }
# shellcheck source=scripts/pristine_root.sh
. scripts/pristine_root.sh

# The first ``` block after "## Set up": one command a line; comment lines
# and trailing comments are the README's explanations.
mapfile -t commands < <(awk '
  /^## / { inside = ($0 == "## Set up") ; next }
  inside && /^```/ { if (block) exit; block = 1; next }
  inside && block { sub(/[ \t]+#.*$/, ""); if ($0 !~ /^[ \t]*(#|$)/) print }
' README.md)
if [ ${#commands[@]} -ne 2 ]; then
  echo "pristine_check: expected two commands in the README's first code block under \"Set up\", found ${#commands[@]}: ${commands[*]}" >&2
  exit 2
fi

work=$(mktemp -d /tmp/vorq-pristine.XXXXXX)
trap 'rm -rf "$work"' EXIT
started=$(date +%s)
pristine_root_new "$work/root" || { echo "pristine_check: no pristine root" >&2; exit 2; }
echo "pristine_check: fresh root ready in $(( $(date +%s) - started )) s"
git clone -q --no-hardlinks "$PWD" "$work/root/root/vorq" || exit 2
git -C "$work/root/root/vorq" remote remove origin

failures=0
for cmd in "${commands[@]}"; do
  echo "pristine_check: # cd /root/vorq && $cmd"
  t0=$(date +%s)
  pristine_run "$work/root" "cd /root/vorq && $cmd" > "$work/out" 2>&1; rc=$?
  took=$(( $(date +%s) - t0 ))
  if [ $rc -ne 0 ]; then
    tail -60 "$work/out"
    echo "FAIL: '$cmd' exited with status $rc after $took s"
    failures=$((failures + 1))
    continue
  fi
  warnings=$(grep -E '^[^ :]+:[0-9]+:([0-9]+:)? warning:|^CMake Warning' "$work/out" | head -5)
  if [ -n "$warnings" ]; then
    echo "$warnings"
    echo "FAIL: '$cmd' printed warnings"
    failures=$((failures + 1))
  fi
  tail -3 "$work/out"
  echo "ok    '$cmd' ($took s)"
done

if [ $failures -ne 0 ]; then
  echo "pristine_check: $failures of ${#commands[@]} README commands failed"
  exit 1
fi
echo "pristine_check: both README commands work on a pristine Debian 12 root ($(( $(date +%s) - started )) s)"

#!/usr/bin/env bash
# Installs the timeline viewer speedscope from the npm registry into DIR
# (default build/viewer), unless that version is there already.  The
# browser test opens xtrctl's export in it.
#
#   tools/install_viewer.sh [DIR]
set -euo pipefail
version=1.25.0
dir=${1:-"$(dirname "$0")/../build/viewer"}
page=$dir/node_modules/speedscope/dist/release/index.html
if [ -f "$page" ] && grep -q "\"version\": \"$version\"" "$dir/node_modules/speedscope/package.json"; then
    exit 0
fi
command -v npm >/dev/null || { echo "install_viewer: npm is missing" >&2; exit 2; }
mkdir -p "$dir"
npm install --no-audit --no-fund --loglevel=error --prefix "$dir" "speedscope@$version" >&2
[ -f "$page" ] || { echo "install_viewer: speedscope has no $page" >&2; exit 1; }

#!/usr/bin/env bash
# Opens xtrctl's timeline export of a traced run of the hosts-file command
# in a real viewer: speedscope (from the npm registry) in headless Chromium
# (Debian's package), served from a loopback HTTP server this test starts.
# Checks in the page that the command's functions are there as slices and
# keeps a screenshot of the timeline as OUTDIR/timeline.png.
#
#   tools/viewer_test.sh XTRCTL HOSTS_COMMAND OUTDIR
set -euo pipefail
xtrctl=$1 command=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
"$here/install_viewer.sh" "$out/viewer"
browser=$(command -v chromium) || { echo "viewer_test: chromium is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }

work=$(mktemp -d /tmp/xtrctl_viewer.XXXXXX)
server=
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
site=$work/site
mkdir -p "$site"
cp -r "$out/viewer/node_modules/speedscope/dist/release/." "$site/"

# The traced run, in an IPC namespace of its own: its buffer is the only one.
printf '127.0.0.1 localhost\n10.0.0.9 myhost printer\n' > "$work/hosts"
unshare --ipc sh -c '"$1" update "$2" myhost 10.0.0.5 && "$3" export --component XREMHST > "$4"' \
    sh "$command" "$work/hosts" "$xtrctl" "$site/trace.json"

python3 -u -m http.server --bind 127.0.0.1 --directory "$site" 0 > "$work/server.log" 2>&1 &
server=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "viewer_test: the HTTP server did not start" >&2; cat "$work/server.log" >&2; exit 1; }
url="http://127.0.0.1:$port/index.html#profileURL=http://127.0.0.1:$port/trace.json"

# Each run gets a new, empty profile directory.
browse() {
    local profile
    profile=$(mktemp -d "$work/profile.XXXXXX")
    timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$profile" --virtual-time-budget=15000 "$@" 2>>"$work/browser.log"
}
# The sandwich view lists every function in the page itself (the timeline is
# drawn on a canvas).
browse --dump-dom "$url&view=sandwich" > "$work/page.html"
browse --window-size=1400,420 --screenshot="$out/timeline.png" "$url" > /dev/null

status=0
for name in vorqManageHostsFile updateHostsFile; do
    grep -q ">$name<" "$work/page.html" || { echo "viewer_test: $name is not in the page" >&2; status=1; }
done
if grep -q "Something went wrong" "$work/page.html"; then
    echo "viewer_test: the viewer could not import the export" >&2
    status=1
fi
[ -s "$out/timeline.png" ] || { echo "viewer_test: no screenshot" >&2; status=1; }
[ $status -eq 0 ] && echo "viewer_test: the export opens in speedscope; screenshot $out/timeline.png"
exit $status

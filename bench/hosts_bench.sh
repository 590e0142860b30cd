#!/usr/bin/env bash
# Benchmark of vorqManageHostsFile against `sed -i` on generated hosts files.
#
#   bench/hosts_bench.sh [BINARY]        (default: build/release/command/vorqManageHostsFile)
#
# Environment:
#   REPS=N           timed repetitions of each command and of sed per case (default 7)
#   SIZES=a,b,c      line counts of the generated files (default 1000,150000,1000000)
#   BENCH_TMPDIR=D   where the temporary directory is made (default: $TMPDIR or /tmp)
#
# Every run (the command and sed alike) goes through GNU time, for its peak
# RSS, and `unshare --ipc`, so that no System V IPC object the command might
# create outlives the run.  The measuring and reporting is done by
# hosts_bench.py beside this script; this wrapper only checks what is needed.
# A benchmark, not a test: it prints PASS/FAIL for its targets but its exit
# status only reports whether the benchmark itself could run.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:-build/release/command/vorqManageHostsFile}

if [[ ! -x $bin ]]; then
    echo "hosts_bench: $bin is not an executable; build it first:" >&2
    echo "  cmake --preset release && cmake --build --preset release" >&2
    exit 2
fi

if [[ ! -x /usr/bin/time ]]; then
    echo "hosts_bench: /usr/bin/time is missing; installing the Debian package 'time' (GNU time, used for each run's peak RSS)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
fi

for tool in unshare sed python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "hosts_bench: $tool is required" >&2
        exit 2
    fi
done

if ! unshare --ipc true 2>/dev/null; then
    echo "hosts_bench: 'unshare --ipc' does not work here (it needs root or user namespaces)" >&2
    exit 2
fi

exec python3 "$here/hosts_bench.py" "$bin"

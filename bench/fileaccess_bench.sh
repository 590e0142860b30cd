#!/bin/sh
# Benchmark of the file-access library.
#
#   bench/fileaccess_bench.sh [BUILD_DIR]     (default: build/release)
#
# 1. xdfc_file_copy of a 256 MiB file against `cat src > dst`, the same file,
#    the same run, the target removed before every run, the two runs
#    interleaved; median and best of 7.
# 2. xdfc_list_file of directories of 1,000, 5,000 and 10,000 files (median
#    of 5), to show that the time per entry stays flat.
#
# The library traces, and the trace facility creates System V IPC objects:
# the driver runs in an IPC namespace of its own so that the machine's own
# trace buffer is never touched.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
LIBDIR_DFC=$BUILD/fileaccess
LIBDIR_TRC=$BUILD/trace
if [ ! -e "$LIBDIR_DFC/libkbvddfc.so" ]; then
    echo "no libkbvddfc.so in $LIBDIR_DFC; build first (cmake --preset release && cmake --build --preset release)" >&2
    exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/fileaccess_bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM

# The driver: times one library call with a monotonic clock, prints ms.
cat >"$WORK/driver.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <time.h>
#include "kbvddfc.h"

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
    SPRET comprc = 0, rc;
    char a[600], b[600];
    double t0;
    if (argc != 4) return 2;
    snprintf(a, sizeof a, "!%s", argv[2]);
    snprintf(b, sizeof b, "!%s", argv[3]);
    t0 = now_ms();
    if (strcmp(argv[1], "copy") == 0)
        rc = xdfc_file_copy(a, b, XDFC_E_REPLACE, &comprc);
    else
        rc = xdfc_list_file(argv[2], b, &comprc);
    printf("%.1f\n", now_ms() - t0);
    if (rc != 0) fprintf(stderr, "rc=%d comprc=%d\n", rc, comprc);
    return rc;
}
C
cc -O2 -I"$ROOT/fileaccess" -I"$ROOT/trace" "$WORK/driver.c" -o "$WORK/driver" \
   -L"$LIBDIR_DFC" -L"$LIBDIR_TRC" -lkbvddfc -lkbvdtrac -Wl,-rpath,"$LIBDIR_DFC:$LIBDIR_TRC"

if [ "$(id -u)" = 0 ]; then ISOLATE="unshare --ipc"; else ISOLATE="unshare --user --map-root-user --ipc"; fi
driver() { $ISOLATE "$WORK/driver" "$@"; }

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

echo "== copy of a 256 MiB file (median and best of 7, ms)"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$WORK/src"
cat "$WORK/src" >/dev/null  # both read from the page cache
: >"$WORK/cat.times"; : >"$WORK/xdfc.times"
for i in 1 2 3 4 5 6 7; do
    rm -f "$WORK/dst"; sync
    t0=$(now_ms); cat "$WORK/src" >"$WORK/dst"; t1=$(now_ms)
    echo $((t1 - t0)) >>"$WORK/cat.times"
    rm -f "$WORK/dst"; sync
    driver copy "$WORK/src" "$WORK/dst" >>"$WORK/xdfc.times"
done
cmp "$WORK/src" "$WORK/dst"
CAT=$(median <"$WORK/cat.times")
XDFC=$(median <"$WORK/xdfc.times")
echo "cat src > dst:   $CAT ms   (runs: $(tr '\n' ' ' <"$WORK/cat.times"))"
echo "xdfc_file_copy:  $XDFC ms   (runs: $(tr '\n' ' ' <"$WORK/xdfc.times"))"
CATMIN=$(sort -n "$WORK/cat.times" | head -1)
XDFCMIN=$(sort -n "$WORK/xdfc.times" | head -1)
awk -v a="$XDFC" -v b="$CAT" -v am="$XDFCMIN" -v bm="$CATMIN" \
    'BEGIN { printf "ratio xdfc/cat:  %.2f median, %.2f best (target <= 1.5)\n", a / b, am / bm }'
rm -f "$WORK/src" "$WORK/dst"

echo "== listing (median of 5, ms)"
for n in 1000 5000 10000; do
    mkdir "$WORK/d$n"
    (cd "$WORK/d$n" && seq -f "file%05g.dat" 1 "$n" | xargs touch)
    : >"$WORK/list.times"
    for i in 1 2 3 4 5; do driver list "$WORK/d$n/*" "$WORK/listing" >>"$WORK/list.times"; done
    MS=$(median <"$WORK/list.times")
    LINES=$(head -c 7 "$WORK/listing" | tr -d ' ')
    awk -v n="$n" -v ms="$MS" -v c="$LINES" \
        'BEGIN { printf "%6d files: %8.1f ms  (%.2f ms per 1000 entries; count line %s)\n", n, ms, ms * 1000 / n, c }'
done

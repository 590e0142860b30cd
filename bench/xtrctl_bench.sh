#!/usr/bin/env bash
# Benchmark of xtrctl: fetching a full shared ring, and a follower keeping
# up with a writer that traces as fast as it can, with and without
# --priority.  Runs in an IPC namespace of its own, so the machine's trace
# buffer is never touched.
#
#   bench/xtrctl_bench.sh [BUILD_DIR]      (default build/tools)
#
# Environment: N (trace points per writer run, 200000), PAD (characters of
# padding per trace point, 40), ROUNDS (in-process fetches, 300), SHOWS
# (xtrctl show runs, 200), RUNS (follow runs per mode, 5).
set -euo pipefail

build=${1:-build/tools}
if [ -z "${XTRCTL_BENCH_INSIDE:-}" ]; then
  ns=(unshare --ipc)
  [ "$(id -u)" -ne 0 ] && ns=(unshare --user --map-current-user --ipc)
  XTRCTL_BENCH_INSIDE=1 exec "${ns[@]}" "$0" "$@"
fi

x=$build/tools/xtrctl
w=$build/tools/xtrctl_test_writer
N=${N:-200000} PAD=${PAD:-40} ROUNDS=${ROUNDS:-300} SHOWS=${SHOWS:-200} RUNS=${RUNS:-5}
[ -x "$x" ] && [ -x "$w" ] || { echo "build xtrctl and xtrctl_test_writer in $build first" >&2; exit 2; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

now() { date +%s.%N; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }
json() { "$x" status --json | sed -n "s/.*\"$1\":\([0-9-]*\).*/\1/p"; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

echo "# xtrctl benchmark"
echo
echo "$(uname -srm), $(nproc) CPUs; N=$N trace points of $((9 + 6 + ${#N} + 1 + PAD)) characters at most, RUNS=$RUNS"
echo

# --- fetch: a full ring ---
"$w" trace "XTWRITEF:" 5000 "$PAD" >/dev/null
entries=$("$x" show | wc -l)
raw=$("$w" fetchbench "$ROUNDS")
t0=$(now); for ((i = 0; i < SHOWS; i++)); do "$x" show >/dev/null; done; t1=$(now)
for ((i = 0; i < SHOWS; i++)); do "$x" show --json >/dev/null; done; t2=$(now)
t3=$(now); for ((i = 0; i < SHOWS; i++)); do "$x" status >/dev/null; done; t4=$(now)
awk -v e="$entries" -v raw="$(field entries_per_s "$raw")" -v s="$SHOWS" \
    -v show="$(echo "$t1 - $t0" | bc)" -v js="$(echo "$t2 - $t1" | bc)" -v st="$(echo "$t4 - $t3" | bc)" 'BEGIN {
  printf "## Fetch of a full ring (%d entries)\n\n", e
  printf "| What | entries/s | per run | vs. the fetch call alone |\n|---|---|---|---|\n"
  printf "| xtr_fetch_pid_tid in one process (baseline) | %.0f | %.1f us | 1.00 |\n", raw, e / raw * 1e6
  printf "| xtrctl show (a process per run) | %.0f | %.2f ms | %.2f |\n", e * s / show, show / s * 1000, raw / (e * s / show)
  printf "| xtrctl show --json | %.0f | %.2f ms | %.2f |\n", e * s / js, js / s * 1000, raw / (e * s / js)
  printf "| xtrctl status (start-up, attach, lock, one walk) | - | %.2f ms | - |\n\n", st / s * 1000
}'

# --- follow ---
free=()
for ((r = 0; r < RUNS; r++)); do
  "$x" remove >/dev/null 2>&1 || true
  free+=("$(field rate "$("$w" trace "XTWRITEF:" "$N" "$PAD")")")
done
free_rate=$(printf '%s\n' "${free[@]}" | median)

followrun() {  # $1: extra follow option; prints "writer_rate shown lost paced follow_rate"
  "$x" remove >/dev/null 2>&1 || true
  "$x" follow --create $1 >/dev/null 2>"$tmp/err" &
  local f=$!
  until [ "$(json reader_pid 2>/dev/null)" = "$f" ]; do sleep 0.01; done
  local a b out
  a=$(now)
  out=$("$w" trace "XTWRITEF:" "$N" "$PAD")
  until [ "$(json unread_entries)" = 0 ]; do sleep 0.001; done
  b=$(now)
  kill -INT "$f"
  wait "$f"
  local summary shown lost
  summary=$(grep 'entries shown' "$tmp/err")
  shown=$(sed 's/.*: \([0-9]*\) entries shown, \([0-9]*\) lost.*/\1/' <<<"$summary")
  lost=$(sed 's/.*: \([0-9]*\) entries shown, \([0-9]*\) lost.*/\2/' <<<"$summary")
  echo "$(field rate "$out") $shown $lost $(field paced "$out") $(echo "$shown / ($b - $a)" | bc -l)"
}

echo "## Follow at full writer speed"
echo
echo "One writer process traces N points as fast as it can; the follower's output goes to /dev/null."
echo "Baseline: the same writer with no reader registered: $(printf '%.0f' "$free_rate") points/s (median of $RUNS)."
echo
echo "| Mode | run | writer points/s | vs. no reader | follower entries/s | shown | lost | lost fraction | paced points |"
echo "|---|---|---|---|---|---|---|---|---|"
for mode in "" "--priority"; do
  for ((r = 1; r <= RUNS; r++)); do
    read -r rate shown lost paced frate < <(followrun "$mode")
    awk -v m="${mode:-plain}" -v r="$r" -v rate="$rate" -v free="$free_rate" -v fr="$frate" -v sh="$shown" \
        -v lo="$lost" -v pa="$paced" 'BEGIN {
      printf "| %s | %d | %.0f | %.2f | %.0f | %d | %d | %.4f%% | %d |\n", m, r, rate, rate / free, fr, sh, lo,
             100 * lo / (sh + lo), pa }'
  done
done

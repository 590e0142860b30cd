#!/usr/bin/env bash
# Runs the README's demo and checks what it printed: the exit status of
# each run, the hosts file it left, and, in the trace that `xtrctl show`
# printed at the end, the entries of the update it performed (its request
# and "Successfully updated", by the same process) and of the two runs
# that failed.
#
#   scripts/check_demo.sh            runs scripts/demo.sh, as the README says
#   scripts/check_demo.sh BUILD_DIR  runs scripts/demo.sh on an existing build
set -uo pipefail
cd "$(dirname "$0")/.."

out=$(mktemp)
trap 'rm -f "$out"' EXIT
if [ $# -ge 1 ]; then
  ./scripts/demo.sh "$1" > "$out" 2>&1; rc=$?
else
  ./scripts/demo.sh > "$out" 2>&1; rc=$?
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ $rc -eq 0 ] || fail "the demo exited with status $rc"

hosts=$(sed -n 's/^--- \(.*\/hosts\)$/\1/p' "$out" | head -1)
[ -n "$hosts" ] || fail "the demo shows no hosts file"

# Each run's command line and the status printed after it.
statuses=$(awk '/^\$ vorqManageHostsFile /{getline s; sub(/^exit status /, "", s); printf "%s ", s}' "$out")
[ "$statuses" = "0 0 0 3 9 " ] || fail "exit statuses were '$statuses', expected '0 0 0 3 9 '"

# The hosts file after the runs: the second of the two listings.
after=$(awk -v f="--- $hosts" '$0 == f {n++; next} n == 2 && /^---$/ {exit} n == 2 {print}' "$out")
expected=$'127.0.0.1   localhost\n10.0.0.5 myhost    myhost.example.com\n#10.0.0.7   oldbox\n10.0.0.42 newhost'
[ "$after" = "$expected" ] || fail "the hosts file after the runs was:
$after"

# The trace: the lines after the `xtrctl show` command, in the fetched-line
# form "SSSSSSSSSS.UUUUUU PPPPPPPP:TTTTTTTT text".
trace=$(sed -n '/^\$ xtrctl show/,$p' "$out" | tail -n +2)
[ -n "$trace" ] || fail "the demo printed no trace"
bad=$(grep -Ev '^[0-9]{10}\.[0-9]{6} [0-9A-F]{8}:[0-9A-F]{8} ' <<<"$trace" | head -3)
[ -z "$bad" ] || fail "trace lines not in the fetched-line form: $bad"

pid_of() {  # the process id of the first trace line with this exact text
  awk -v t="$1" 'substr($0, 37) == t {print substr($2, 1, 8); exit}' <<<"$trace"
}
req="XREMHSTF: Handling an update request for file=$hosts; hostname=myhost; IP=10.0.0.5"
req_pid=$(pid_of "$req")
[ -n "$req_pid" ] || fail "the trace lacks the update's request: $req"
ok_lines=$(awk -v t="XREMHSTF: Successfully updated $hosts" -v p="$req_pid" \
  'substr($0, 37) == t && substr($2, 1, 8) == p' <<<"$trace")
[ -n "$req_pid" ] && [ -z "$ok_lines" ] && fail "the trace lacks 'XREMHSTF: Successfully updated $hosts' from the update's process $req_pid"
n_ok=$(grep -cF "XREMHSTF: Successfully updated $hosts" <<<"$trace")
[ "$n_ok" -eq 3 ] || fail "expected 3 'Successfully updated' entries (two updates, one remove), found $n_ok"
for t in "XREMHSTF: Incorrect number of args: 4; should be 5" \
         "XREMHSTF: vorqManageHostsFile exiting with exit status=3" \
         "XREMHSTF: fopen() of hosts file ${hosts%/hosts}/absent failed; errno=2" \
         "XREMHSTF: vorqManageHostsFile exiting with exit status=9"; do
  [ -n "$(pid_of "$t")" ] || fail "the trace lacks: $t"
done

if [ $failures -ne 0 ]; then
  echo "--- demo output"
  cat "$out"
  echo "check_demo: $failures check(s) failed"
  exit 1
fi
echo "check_demo: the demo's statuses, hosts file and trace are as expected"

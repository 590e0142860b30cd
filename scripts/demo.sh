#!/usr/bin/env bash
# Runs the built command on an example hosts file and shows what it did.
set -uo pipefail

bin=${1:-build/release/command/vorqManageHostsFile}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
hosts=$dir/hosts
cat > "$hosts" <<'HOSTS'
127.0.0.1   localhost
10.0.0.9    MyHost    myhost.example.com
#10.0.0.7   oldbox
10.0.0.12   printer
HOSTS

# A private IPC namespace keeps the example's trace buffer off the machine.
ns=(unshare --ipc)
[ "$(id -u)" -ne 0 ] && ns=(unshare --user --map-current-user --ipc)

show() { echo "--- $hosts"; cat "$hosts"; echo "---"; }
run() {
  echo "\$ vorqManageHostsFile $*"
  "${ns[@]}" "$bin" "$@"
  echo "exit status $?"
}

show
run update "$hosts" myhost 10.0.0.5
run update "$hosts" newhost 10.0.0.42
run remove "$hosts" printer
run update "$hosts" myhost        # one operand missing: status 3
run remove "$dir/absent" myhost   # no such file: status 9
show

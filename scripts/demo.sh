#!/usr/bin/env bash
# Runs the built command on an example hosts file, shows what it did to the
# file, then shows the trace it left in the shared trace buffer.
#
#   scripts/demo.sh             installs what the build needs (cmake, ninja,
#                               a compiler), builds the command, xtrctl and
#                               the two libraries in build/demo, no tests,
#                               and runs the example
#   scripts/demo.sh BUILD_DIR   runs the example with an existing build
set -uo pipefail

if [ $# -eq 0 ]; then
  set -e
  cd "$(dirname "$(readlink -f "$0")")/.."
  ./scripts/install-deps.sh demo
  cmake --preset demo >/dev/null
  cmake --build --preset demo
  set +e
  echo
  echo "Built in $PWD/build/demo; to run the programs by name:"
  echo "  export PATH=$PWD/build/demo/command:$PWD/build/demo/tools:\$PATH"
  echo
  exec ./scripts/demo.sh build/demo
fi

build=$1
bin=$build/command/vorqManageHostsFile
xtrctl=$build/tools/xtrctl

# The whole example runs in an IPC namespace of its own: its trace buffer is
# created fresh and vanishes afterwards, leaving the machine's alone.
if [ -z "${VORQ_DEMO_NS:-}" ]; then
  ns=(unshare --ipc)
  [ "$(id -u)" -ne 0 ] && ns=(unshare --user --map-current-user --ipc)
  VORQ_DEMO_NS=1 exec "${ns[@]}" "$0" "$@"
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
hosts=$dir/hosts
cat > "$hosts" <<'HOSTS'
127.0.0.1   localhost
10.0.0.9    MyHost    myhost.example.com
#10.0.0.7   oldbox
10.0.0.12   printer
HOSTS

show() { echo "--- $hosts"; cat "$hosts"; echo "---"; }
run() {
  echo "\$ vorqManageHostsFile $*"
  "$bin" "$@"
  echo "exit status $?"
}

show
run update "$hosts" myhost 10.0.0.5
run update "$hosts" newhost 10.0.0.42
run remove "$hosts" printer
run update "$hosts" myhost        # one operand missing: status 3
run remove "$dir/absent" myhost   # no such file: status 9
show
echo
echo "\$ xtrctl show"
"$xtrctl" show

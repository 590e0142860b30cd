#!/usr/bin/env bash
# Checks that 32-bit and 64-bit processes share one trace segment: the trace
# facility and a small writer/reader (interop32/interop.cpp) are built with
# g++ -m32 by the interop32 preset into build/interop32, and natively, with
# xtrctl, in the test build (the ci preset, build/ci).  Each scenario runs in a
# fresh IPC namespace (unshare --ipc), so it is the only buffer there:
#
#   1. the layouts: sizes and offsets printed by both widths are identical;
#   2. a 32-bit writer fills (and wraps) the ring; the 32-bit and 64-bit raw
#      walks, 64-bit `xtrctl show`, 64-bit xtr_fetch and xtr_fetch_pid_tid
#      and 32-bit xtr_fetch all list the same entries, and the texts are the
#      newest ones the writer wrote, with its process id;
#   3. the other way round: a 64-bit writer, read by the 32-bit side;
#   4. both widths write into one segment in turn; every reader agrees;
#   5. both widths write at the same time, contending for the lock: both
#      finish and every call of both is counted.
#
#   interop32/run.sh          exits non-zero on any disagreement
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/interop32
mkdir -p "$out/work"

if ! echo 'int main(){}' | g++ -m32 -x c++ - -o "$out/probe32" 2>/dev/null; then
    echo "interop32: g++ -m32 cannot link (scripts/install-deps.sh installs g++-multilib)" >&2
    exit 2
fi
# Some virtual machines' kernels refuse every 32-bit program (execve gives
# ENOEXEC).  There the 32-bit side runs under user-mode emulation
# (qemu-i386): its own 32-bit code, layouts and system calls, on this
# machine's real System V objects, so the buffer is still shared between
# the two widths.
rc=0
"$out/probe32" 2>/dev/null || rc=$?
run32=()
if [ $rc -eq 126 ]; then
    command -v qemu-i386 >/dev/null || {
        echo "interop32: this kernel refuses 32-bit programs and qemu-i386 is missing (scripts/install-deps.sh installs qemu-user)" >&2
        exit 2
    }
    echo "interop32: this kernel refuses 32-bit programs; the 32-bit side runs under qemu-i386"
    run32=(qemu-i386)
    "${run32[@]}" "$out/probe32" || { echo "interop32: a 32-bit program does not run under qemu-i386" >&2; exit 2; }
elif [ $rc -ne 0 ]; then
    echo "interop32: a 32-bit program built with g++ -m32 does not run (status $rc)" >&2
    exit 2
fi

cmake --preset interop32 >/dev/null
cmake --build --preset interop32
cmake --preset ci >/dev/null
cmake --build --preset ci --target interop xtrctl
native=$root/build/ci
# ELF class byte: 1 for a 32-bit program, 2 for a 64-bit one.
[ "$(od -An -tu1 -j4 -N1 "$out/interop32/interop" | tr -d ' ')" = 1 ] || { echo "interop32: the writer is not 32-bit" >&2; exit 1; }
[ "$(od -An -tu1 -j4 -N1 "$native/interop32/interop" | tr -d ' ')" = 2 ] || { echo "interop32: the reader is not 64-bit" >&2; exit 1; }

I32=$out/interop32/interop
if [ ${#run32[@]} -gt 0 ]; then
    # The scenarios start the 32-bit program by one name; exec keeps its pid.
    printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${run32[*]}" "$out/interop32/interop" >"$out/interop32-emulated"
    chmod 755 "$out/interop32-emulated"
    I32=$out/interop32-emulated
fi
export I32 I64=$native/interop32/interop XTRCTL=$native/tools/xtrctl W=$out/work
fail=0
scenario() {  # name body
    echo "== $1"
    if unshare --ipc bash -euo pipefail -c "$2"; then
        echo "   agree"
    else
        echo "   DISAGREE ($1); files in $W" >&2
        fail=1
    fi
}

# Compares every reader's lines with the 32-bit walk; $1 names the scenario.
readers='
agree() {
    local s=$1
    "$I32" walk >"$W/$s.walk32" 2>/dev/null
    "$I64" walk >"$W/$s.walk64" 2>/dev/null
    "$XTRCTL" show >"$W/$s.show64" 2>/dev/null
    "$I64" fetch >"$W/$s.fetch64" 2>/dev/null
    "$I32" fetch >"$W/$s.fetch32" 2>/dev/null
    "$I64" fetchpid 0 >"$W/$s.fetchall64" 2>/dev/null
    "$I32" fetchpid 0 >"$W/$s.fetchall32" 2>/dev/null
    local n; n=$(wc -l <"$W/$s.walk32")
    [ "$n" -gt 0 ] || { echo "   no entries" >&2; return 1; }
    for f in walk64 show64 fetch64 fetch32 fetchall64 fetchall32; do
        cmp -s "$W/$s.walk32" "$W/$s.$f" || { echo "   $f differs from walk32" >&2; diff "$W/$s.walk32" "$W/$s.$f" | head -5 >&2; return 1; }
    done
    echo "   $n entries, 7 readers identical"
}
# The entries of one writer: its id in every line, and its texts are the
# newest it wrote, in order.  $1 scenario, $2 writer pid, $3 program, $4 tag, $5 count.
own() {
    local s=$1 pid=$2 prog=$3 tag=$4 count=$5
    "$prog" expect "$tag" "$count" >"$W/$s.expect"
    "$I64" fetchpid "$pid" >"$W/$s.pid64"
    "$I32" fetchpid "$pid" >"$W/$s.pid32"
    cmp -s "$W/$s.pid64" "$W/$s.pid32" || { echo "   fetch_pid_tid($pid) differs between widths" >&2; return 1; }
    grep " $pid:" "$W/$s.walk32" >"$W/$s.mine" || true
    cmp -s "$W/$s.mine" "$W/$s.pid64" || { echo "   fetch_pid_tid($pid) differs from the walk" >&2; return 1; }
    cut -d" " -f3- "$W/$s.mine" | grep " $tag " >"$W/$s.texts" || true
    local k; k=$(wc -l <"$W/$s.texts")
    [ "$k" -gt 0 ] || { echo "   no entries of $tag" >&2; return 1; }
    tail -n "$k" "$W/$s.expect" | cmp -s - "$W/$s.texts" || { echo "   texts of $tag are not the newest written" >&2; return 1; }
    echo "   $k entries of writer $pid match what it wrote"
}
'

echo "== layouts"
"$I32" layout >"$W/layout32"
"$I64" layout >"$W/layout64"
if cmp -s "$W/layout32" "$W/layout64"; then echo "   agree ($(head -1 "$W/layout32" | tr -s ' '))"; else
    diff "$W/layout32" "$W/layout64" >&2; fail=1; fi

scenario "32-bit writer, wrapped ring" "$readers"'
pid=$("$I32" write w32 3000)
agree a && own a "$pid" "$I32" w32 3000
"$I64" header | grep -q "lost=" '

scenario "64-bit writer, read by 32-bit" "$readers"'
pid=$("$I64" write w64 3000)
agree b && own b "$pid" "$I64" w64 3000'

scenario "both widths in one segment" "$readers"'
p1=$("$I32" write m32 150)
p2=$("$I64" write m64 150)
p3=$("$I32" write n32 100)
agree c && own c "$p1" "$I32" m32 150 && own c "$p2" "$I64" m64 150 && own c "$p3" "$I32" n32 100
"$I32" header >"$W/c.header32"; "$I64" header >"$W/c.header64"
cmp -s "$W/c.header32" "$W/c.header64" || { echo "   header fields differ" >&2; exit 1; }'

scenario "both widths at once, contending for the lock" "$readers"'
"$I32" write k32 20000 >"$W/d.pid32" & a=$!
"$I64" write k64 20000 >"$W/d.pid64" & b=$!
wait $a && wait $b || { echo "   a writer failed" >&2; exit 1; }
agree d
"$I64" header >"$W/d.header"
grep -q " count=40000 lost=" "$W/d.header" || { echo "   not every call of both writers was recorded: $(cat "$W/d.header")" >&2; exit 1; }'

exit $fail

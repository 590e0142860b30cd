#!/usr/bin/env bash
# Installs the Debian package on this machine, uses it as a user would, and
# purges it again:
#   - the machine must be clean first (package not installed, none of its
#     files present), or the test refuses to touch it;
#   - installing creates no trace buffer or semaphore (IPC objects);
#   - the command runs from /usr/bin against its installed libraries, and
#     its trace is read back with the installed xtrctl;
#   - a C program builds against the installed headers with
#     `pkg-config --cflags --libs kbvdtrac kbvddfc` and runs;
#   - purging leaves nothing of the package in /usr.
# The whole test runs in an IPC namespace of its own, so the trace buffer
# its runs create vanishes with it and the machine's is left alone.
#
#   scripts/package_test.sh PACKAGE.deb
set -uo pipefail
# dpkg needs ldconfig and start-stop-daemon from the sbin directories.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

if [ "$(id -u)" -ne 0 ]; then
  echo "package_test: SKIPPED: installing a package needs root (run as root or with sudo)"
  exit 0
fi
deb=${1:?usage: package_test.sh PACKAGE.deb}
deb=$(readlink -f "$deb")
[ -f "$deb" ] || { echo "package_test: no such package: $deb" >&2; exit 2; }
for tool in dpkg dpkg-deb unshare ipcs cc pkg-config readelf man ldconfig ldd; do
  command -v "$tool" >/dev/null || { echo "package_test: $tool is missing" >&2; exit 2; }
done

if [ -z "${VORQ_PKGTEST_NS:-}" ]; then
  VORQ_PKGTEST_NS=1 exec unshare --ipc "$0" "$@"
fi

pkg=$(dpkg-deb -f "$deb" Package)
work=$(mktemp -d)
failures=0
installed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok    $*"; }
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

cleanup() {
  if [ $installed -eq 1 ]; then dpkg --purge "$pkg" >/dev/null 2>&1; fi
  rm -rf "$work"
}
trap cleanup EXIT

# resolves_to BINARY LIBRARY: the dynamic linker loads /usr/lib/LIBRARY
# (whatever path leads there) for BINARY.
resolves_to() {
  local got
  got=$(ldd "$1" | awk -v lib="$2" '$1 == lib && $2 == "=>" {print $3}')
  [ -n "$got" ] && [ "$(readlink -f "$got")" = "$(readlink -f "/usr/lib/$2")" ]
}

# The package's files and links (directories are shared with the system).
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' | grep -v '/$' > "$work/files"
[ -s "$work/files" ] || { echo "package_test: $deb lists no files" >&2; exit 2; }

# ---- Clean state -----------------------------------------------------------
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'installed'; then
  echo "package_test: $pkg is already installed; purge it first (dpkg --purge $pkg)" >&2
  exit 2
fi
present=$(while read -r f; do [ -e "$f" ] || [ -L "$f" ] && echo "$f"; done < "$work/files")
if [ -n "$present" ]; then
  echo "package_test: the machine is not clean, these files exist already:" >&2
  echo "$present" >&2
  exit 2
fi
trace_ipc() { ipcs -m -s | grep -Ei '0x96728001|0x96728013'; }
if trace_ipc >/dev/null; then
  echo "package_test: the test's own IPC namespace already holds a trace buffer" >&2
  exit 2
fi

# ---- Install ---------------------------------------------------------------
if ! dpkg -i "$deb" > "$work/dpkg-i.log" 2>&1; then
  cat "$work/dpkg-i.log"
  fail "dpkg -i $deb"
  exit 1
fi
installed=1
pass "dpkg -i $(basename "$deb")"
check "$pkg is installed" bash -c "dpkg-query -W -f='\${Status}' $pkg | grep -qx 'install ok installed'"
check "installing created no trace buffer or semaphore" bash -c '! ipcs -m -s | grep -Eqi "0x96728001|0x96728013"'
missing=$(while read -r f; do [ -e "$f" ] || echo "$f"; done < "$work/files")
check "every file of the package is in place" test -z "$missing"
[ -z "$missing" ] || echo "$missing"

for lib in kbvdtrac kbvddfc; do
  check "lib$lib.so.1 has soname lib$lib.so.1" \
    bash -c "readelf -d /usr/lib/lib$lib.so.1 | grep -q 'Library soname: \[lib$lib.so.1\]'"
  check "ld.so.cache knows lib$lib.so.1" bash -c "ldconfig -p | grep -Eq 'lib$lib\.so\.1 .*=> (/usr)?/lib/lib$lib\.so\.1\$'"
done
check "the command loads the installed libkbvdtrac.so.1" resolves_to /usr/bin/vorqManageHostsFile libkbvdtrac.so.1
check "xtrctl loads the installed libkbvdtrac.so.1" resolves_to /usr/bin/xtrctl libkbvdtrac.so.1
for page in "8 vorqManageHostsFile" "1 xtrctl" "3 kbvdtrac" "3 kbvddfc"; do
  set -- $page
  check "man $1 $2 is installed" bash -c "man -w $1 $2 | grep -q '^/usr/share/man/man$1/$2\.$1'"
done

# ---- The command, from /usr/bin --------------------------------------------
hosts=$work/hosts
printf '127.0.0.1   localhost\n10.0.0.9    MyHost    myhost.example.com\n10.0.0.12   printer\n' > "$hosts"
chown 1:1 "$hosts" && chmod 0640 "$hosts"
hash -r
check "vorqManageHostsFile is found as /usr/bin/vorqManageHostsFile" \
  test "$(command -v vorqManageHostsFile)" = /usr/bin/vorqManageHostsFile

vorqManageHostsFile update "$hosts" myhost 10.0.0.5; rc=$?
check "update exits with 0 (got $rc)" test $rc -eq 0
vorqManageHostsFile update "$hosts" newhost 10.0.0.42; rc=$?
check "update of a new name exits with 0 (got $rc)" test $rc -eq 0
vorqManageHostsFile remove "$hosts" printer; rc=$?
check "remove exits with 0 (got $rc)" test $rc -eq 0
vorqManageHostsFile remove "$hosts"; rc=$?
check "remove without a host name exits with 3 (got $rc)" test $rc -eq 3
expected=$'127.0.0.1   localhost\n10.0.0.5 myhost    myhost.example.com\n10.0.0.42 newhost'
check "the hosts file holds the updated entries" test "$(cat "$hosts")" = "$expected"
check "mode 0640 and owner 1:1 are kept" test "$(stat -c '%a %u:%g' "$hosts")" = "640 1:1"
check "no temporary file is left" bash -c "! ls '$work' | grep -q wynTempEtcHosts"

# The first traced process created the trace buffer (so the check after
# the install above would have seen one had the install made it).
check "the command's run created the trace buffer" bash -c 'ipcs -m | grep -qi 0x96728001'
trace=$(xtrctl show 2>&1)
check "xtrctl show has the update request" grep -qF \
  "XREMHSTF: Handling an update request for file=$hosts; hostname=myhost; IP=10.0.0.5" <<<"$trace"
check "xtrctl show has the update's success" grep -qF "XREMHSTF: Successfully updated $hosts" <<<"$trace"
check "xtrctl show has the failed remove's status 3" \
  grep -qF "XREMHSTF: vorqManageHostsFile exiting with exit status=3" <<<"$trace"

# ---- A C program against the installed headers -----------------------------
mkdir -p "$work/c/data"
cat > "$work/c/prog.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <kbvdtrac.h>
#include <kbvepce.h>
#include <kbvddfc.h>

int main(int argc, char **argv)
{
    char lines[8192], path[512];
    SPRET rc = 0, cc = 0;
    FILE *f;
    unsigned int action = 0;
    int n = 0, len = 0, seen = 0;
    unsigned long size = 0;

    if (argc != 2) return 2;
    xtr_trace("PKGTESTF: installed trace call %d of %s", 42, "prog");
    if (xtr_fetch_pid(lines, sizeof lines, &rc) != 0) { puts("fetch failed"); return 1; }
    for (char *p = lines; *p != '\0'; p += strlen(p) + 1)
        if (strstr(p, "PKGTESTF: installed trace call 42 of prog") != NULL) seen = 1;
    if (!seen) { puts("own trace point not fetched"); return 1; }
    if (xpce_ckstr_tr("abc", &len) != 0 || len != 3) { puts("xpce_ckstr_tr"); return 1; }

    /* kbvddfc.trm in the current directory maps *.dat to argv[1]. */
    if (xdfc_query_file_location("x.dat", path, &cc) != 0 || strcmp(path, argv[1]) != 0) {
        printf("location [%s] cc=%d\n", path, cc);
        return 1;
    }
    if (xdfc_search_file_open("x.dat", 0, 0, XDFC_E_REPLACE | XDFC_DE_CREAT, 0, &f, &action, &cc) != 0
        || action != 2) { printf("open cc=%d\n", cc); return 1; }
    if (xdfc_write("hello\n", 6, 1, f, &n, &cc) != 0 || n != 1) { puts("write"); return 1; }
    if (xdfc_close_file(f, &cc) != 0) { puts("close"); return 1; }
    if (xdfc_query_file_size("x.dat", &size, &cc) != 0 || size != 6) { printf("size %lu\n", size); return 1; }
    puts("c program: ok");
    return 0;
}
C
printf '*.dat %s/\n' "$work/c/data" > "$work/c/kbvddfc.trm"
unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR
flags=$(pkg-config --cflags --libs kbvdtrac kbvddfc 2>&1); rc=$?
check "pkg-config --cflags --libs kbvdtrac kbvddfc ($flags)" test $rc -eq 0
# shellcheck disable=SC2086
if (cd "$work/c" && cc -std=c11 -Wall -Wextra -Werror -o prog prog.c $flags); then
  pass "the C program compiles and links against the installed headers and libraries"
  check "the C program loads the installed libkbvddfc.so.1" resolves_to "$work/c/prog" libkbvddfc.so.1
  check "the C program loads the installed libkbvdtrac.so.1" resolves_to "$work/c/prog" libkbvdtrac.so.1
  out=$(cd "$work/c" && ./prog "$work/c/data/" 2>&1); rc=$?
  check "the C program runs (status $rc: $out)" test $rc -eq 0
  check "the C program wrote its file through a logical name" test "$(cat "$work/c/data/x.dat")" = hello
else
  fail "the C program compiles and links against the installed headers and libraries"
fi

# ---- Purge -----------------------------------------------------------------
if dpkg --purge "$pkg" > "$work/dpkg-purge.log" 2>&1; then
  installed=0
  pass "dpkg --purge $pkg"
else
  cat "$work/dpkg-purge.log"
  fail "dpkg --purge $pkg"
fi
check "$pkg is no longer known to dpkg" bash -c "! dpkg-query -W -f='\${Status}' $pkg 2>/dev/null | grep -q installed"
left=$(while read -r f; do [ -e "$f" ] || [ -L "$f" ] && echo "$f"; done < "$work/files")
check "nothing of the package remains" test -z "$left"
[ -z "$left" ] || echo "$left"
stray=$(ls -d /usr/bin/vorqManageHostsFile /usr/bin/xtrctl /usr/lib/libkbvd* /usr/lib/pkgconfig/kbvd*.pc \
          /usr/include/kbv*.h /usr/share/man/man*/vorqManageHostsFile.* /usr/share/man/man*/xtrctl.* \
          /usr/share/man/man3/kbvd* 2>/dev/null)
check "no vorqManageHostsFile, xtrctl, libkbvd*, kbv*.h or their pages in /usr" test -z "$stray"
cache=$(ldconfig -p)
check "ld.so.cache is readable" grep -q 'libc.so.6' <<<"$cache"
check "ld.so.cache no longer lists the libraries" bash -c '! grep -q libkbvd' <<<"$cache"

echo
if [ $failures -ne 0 ]; then
  echo "package_test: $failures check(s) failed"
  exit 1
fi
echo "package_test: all checks passed"

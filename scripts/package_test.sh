#!/usr/bin/env bash
# Checks the Debian packages, then installs them on a pristine Debian 12 root
# (scripts/pristine_root.sh), uses them as a user would, and purges them:
#   - lintian reports no error and no warning for any package;
#   - `apt-get install ./*.deb` installs them with their dependencies, and
#     installing creates no trace buffer or semaphore (IPC objects);
#   - the command runs from /usr/bin against the installed libraries, its
#     trace is read back with the installed xtrctl, and `xtrctl remove`
#     deletes the trace buffer;
#   - `man` finds every page, and every call named in a page's NAME section;
#   - a C program builds with `pkg-config --cflags --libs kbvdtrac kbvddfc`
#     (no ".." in the paths) and runs;
#   - purging leaves /usr as it was before the install.
# The root runs in IPC, PID and mount namespaces of its own: nothing is
# installed on this machine and its trace buffer is left alone.
#
#   scripts/package_test.sh PACKAGE.deb...    (root; e.g. build/pkg/*.deb)
set -uo pipefail

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok    $*"; }
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
finish() {
  echo
  if [ $failures -ne 0 ]; then
    echo "package_test: $failures check(s) failed"
    exit 1
  fi
  echo "package_test: all checks passed$1"
  exit 0
}

# ---- Inside the pristine root ----------------------------------------------
inside() {
  export DEBIAN_FRONTEND=noninteractive
  local debs=("$@") work=/tmp/package_test pkgs names
  mkdir -p "$work"
  mapfile -t pkgs < <(for d in "${debs[@]}"; do dpkg-deb -f "$d" Package; done)

  # What the checks themselves use: a compiler, pkg-config and man.
  if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends gcc libc6-dev pkg-config man-db; } \
       > "$work/prereq.log" 2>&1; then
    tail -20 "$work/prereq.log"
    fail "installing gcc, pkg-config and man-db for the checks"
    finish ""
  fi
  find /usr -xdev | sort > "$work/usr.before"
  trace_ipc() { ipcs -m -s | grep -Ei '0x96728001|0x96728013'; }
  check "no trace buffer before the install" bash -c '! ipcs -m -s | grep -Eqi "0x96728001|0x96728013"'

  # ---- Install -------------------------------------------------------------
  if ! apt-get install -y --no-install-recommends "${debs[@]}" > "$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "apt-get install ${debs[*]}"
    finish ""
  fi
  pass "apt-get install ${debs[*]##*/}"
  for p in "${pkgs[@]}"; do
    check "$p is installed" bash -c "dpkg-query -W -f='\${Status}' $p | grep -qx 'install ok installed'"
  done
  check "installing created no trace buffer or semaphore" bash -c '! ipcs -m -s | grep -Eqi "0x96728001|0x96728013"'

  # resolves PATHS PATH: every one of PATHS (one a line, at least one) leads
  # to the file PATH.
  resolves() {
    [ -n "$1" ] || return 1
    while read -r p; do [ "$(readlink -f "$p")" = "$(readlink -f "$2")" ] || return 1; done <<<"$1"
  }
  local lib path bin
  for lib in kbvdtrac kbvddfc; do
    path=$(dpkg -L "lib${lib}1" | grep "/lib$lib\.so\.1$")
    check "lib${lib}1 holds lib$lib.so.1 ($path)" test -n "$path"
    check "lib$lib.so.1 has soname lib$lib.so.1" \
      bash -c "readelf -d '$path' 2>/dev/null | grep -q 'Library soname: \[lib$lib.so.1\]' || objdump -p '$path' | grep -q 'SONAME *lib$lib.so.1'"
    check "ld.so.cache knows lib$lib.so.1" resolves "$(ldconfig -p | awk -v l="lib$lib.so.1" '$1 == l {print $NF}')" "$path"
  done
  for bin in vorqManageHostsFile xtrctl; do
    check "$bin loads the installed libkbvdtrac.so.1" \
      resolves "$(ldd /usr/bin/$bin | awk '$1 == "libkbvdtrac.so.1" {print $3}')" "$(dpkg -L libkbvdtrac1 | grep '/libkbvdtrac\.so\.1$')"
  done
  for page in "8 vorqManageHostsFile" "1 xtrctl" "3 kbvdtrac" "3 kbvddfc"; do
    set -- $page
    check "man $1 $2 is a compressed page" bash -c "man -w $1 $2 | grep -q '^/usr/share/man/man$1/$2\.$1\.gz$'"
  done
  # Every name of a library page's NAME section leads to that page.
  for page in kbvdtrac kbvddfc; do
    names=$(zcat "/usr/share/man/man3/$page.3.gz" | sed -n '/^\.SH NAME/,/\\-/p' | sed '1d; s/\\-.*//' | tr ', ' '\n\n' | grep .)
    local unreached=""
    for n in $names; do
      [ "$(readlink -f "$(man -w 3 "$n" 2>/dev/null)")" = "/usr/share/man/man3/$page.3.gz" ] || unreached+=" $n"
    done
    check "man NAME finds kbvdtrac(3)/kbvddfc(3) for all $(wc -w <<<"$names") names of $page(3)${unreached:+; not:$unreached}" \
      test -z "$unreached"
  done
  check "man xtr_trace shows the trace facility's page" \
    bash -c "man xtr_trace 2>/dev/null | head -1 | grep -q '^KBVDTRAC(3) '"
  check "man xdfc_read shows the file-access library's page" \
    bash -c "man xdfc_read 2>/dev/null | head -1 | grep -q '^KBVDDFC(3) '"

  # ---- The command, from /usr/bin ------------------------------------------
  local hosts=$work/hosts rc trace
  printf '127.0.0.1   localhost\n10.0.0.9    MyHost    myhost.example.com\n10.0.0.12   printer\n' > "$hosts"
  chown 1:1 "$hosts" && chmod 0640 "$hosts"
  hash -r
  check "vorqManageHostsFile is /usr/bin/vorqManageHostsFile" \
    test "$(command -v vorqManageHostsFile)" = /usr/bin/vorqManageHostsFile
  vorqManageHostsFile update "$hosts" myhost 10.0.0.5; rc=$?
  check "update exits with 0 (got $rc)" test $rc -eq 0
  vorqManageHostsFile update "$hosts" newhost 10.0.0.42; rc=$?
  check "update of a new name exits with 0 (got $rc)" test $rc -eq 0
  vorqManageHostsFile remove "$hosts" printer; rc=$?
  check "remove exits with 0 (got $rc)" test $rc -eq 0
  vorqManageHostsFile remove "$hosts"; rc=$?
  check "remove without a host name exits with 3 (got $rc)" test $rc -eq 3
  check "the hosts file holds the updated entries" test "$(cat "$hosts")" = \
    $'127.0.0.1   localhost\n10.0.0.5 myhost    myhost.example.com\n10.0.0.42 newhost'
  check "mode 0640 and owner 1:1 are kept" test "$(stat -c '%a %u:%g' "$hosts")" = "640 1:1"
  check "no temporary file is left" bash -c "! ls '$work' | grep -q wynTempEtcHosts"

  check "the command's run created the trace buffer" bash -c 'ipcs -m | grep -qi 0x96728001'
  trace=$(xtrctl show 2>&1)
  check "xtrctl show has the update request" grep -qF \
    "XREMHSTF: Handling an update request for file=$hosts; hostname=myhost; IP=10.0.0.5" <<<"$trace"
  check "xtrctl show has the update's success" grep -qF "XREMHSTF: Successfully updated $hosts" <<<"$trace"
  check "xtrctl show has the failed remove's status 3" \
    grep -qF "XREMHSTF: vorqManageHostsFile exiting with exit status=3" <<<"$trace"

  # ---- A C program built with pkg-config -----------------------------------
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
  local flags out
  flags=$(pkg-config --cflags --libs kbvdtrac kbvddfc 2>&1); rc=$?
  check "pkg-config --cflags --libs kbvdtrac kbvddfc ($flags)" test $rc -eq 0
  check "pkg-config's paths are clean" bash -c "! grep -q '\.\.' <<<'$flags$(pkg-config --variable=includedir kbvdtrac)'"
  check "the include directory is /usr/include" test "$(pkg-config --variable=includedir kbvddfc)" = /usr/include
  # shellcheck disable=SC2086
  if (cd "$work/c" && cc -std=c11 -Wall -Wextra -Werror -o prog prog.c $flags); then
    pass "the C program compiles and links against the installed headers and libraries"
    for lib in kbvdtrac kbvddfc; do
      check "the C program loads the installed lib$lib.so.1" \
        resolves "$(ldd "$work/c/prog" | awk -v l="lib$lib.so.1" '$1 == l {print $3}')" "$(dpkg -L "lib${lib}1" | grep "/lib$lib\.so\.1$")"
    done
    out=$(cd "$work/c" && ./prog "$work/c/data/" 2>&1); rc=$?
    check "the C program runs (status $rc: $out)" test $rc -eq 0
    check "the C program wrote its file through a logical name" test "$(cat "$work/c/data/x.dat")" = hello
  else
    fail "the C program compiles and links against the installed headers and libraries"
  fi

  # ---- What stays behind, and its removal ----------------------------------
  xtrctl remove > "$work/remove.log" 2>&1; rc=$?
  check "xtrctl remove exits with 0 (got $rc: $(cat "$work/remove.log"))" test $rc -eq 0
  check "xtrctl remove deleted the trace buffer and its semaphores" bash -c '! ipcs -m -s | grep -Eqi "0x96728001|0x96728013"'

  # ---- Purge ---------------------------------------------------------------
  if apt-get purge -y "${pkgs[@]}" > "$work/purge.log" 2>&1; then
    pass "apt-get purge ${pkgs[*]}"
  else
    cat "$work/purge.log"
    fail "apt-get purge ${pkgs[*]}"
  fi
  for p in "${pkgs[@]}"; do
    check "$p is no longer known to dpkg" bash -c "! dpkg-query -W -f='\${Status}' $p 2>/dev/null | grep -q installed"
  done
  find /usr -xdev | sort > "$work/usr.after"
  check "/usr is as it was before the install" diff "$work/usr.before" "$work/usr.after"
  check "ld.so.cache no longer lists the libraries" bash -c '! ldconfig -p | grep -q libkbvd'
  finish " in the pristine root"
}

if [ "${1:-}" = --inside ]; then
  shift
  inside "$@"
fi

# ---- On this machine -------------------------------------------------------
[ "$(id -u)" -eq 0 ] || { echo "package_test: needs root (debootstrap, chroot)" >&2; exit 2; }
[ $# -ge 1 ] || { echo "usage: package_test.sh PACKAGE.deb..." >&2; exit 2; }
here=$(dirname "$(readlink -f "$0")")
debs=()
for d in "$@"; do
  [ -f "$d" ] || { echo "package_test: no such package: $d" >&2; exit 2; }
  debs+=("$(readlink -f "$d")")
done
"$here/install-deps.sh" package pristine || exit 2

started=$(date +%s)
if lintian --fail-on error,warning --display-info "${debs[@]}" > /tmp/package_test.lintian.$$ 2>&1; then
  pass "lintian: no error or warning in ${#debs[@]} packages"
else
  cat /tmp/package_test.lintian.$$
  fail "lintian reports errors or warnings"
fi
grep -E '^[EWIP]:' /tmp/package_test.lintian.$$
rm -f /tmp/package_test.lintian.$$

# shellcheck source=scripts/pristine_root.sh
. "$here/pristine_root.sh"
work=$(mktemp -d /tmp/vorq-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
pristine_root_new "$work/root" || { echo "package_test: no pristine root" >&2; exit 2; }
mkdir -p "$work/root/tmp/debs"
cp "${debs[@]}" "$work/root/tmp/debs/" && chmod 0755 "$work/root/tmp/debs" && chmod 0644 "$work/root/tmp/debs/"*
cp "$here/package_test.sh" "$work/root/tmp/package_test.sh"
inside_debs=()
for d in "${debs[@]}"; do inside_debs+=("/tmp/debs/${d##*/}"); done
pristine_run "$work/root" "bash /tmp/package_test.sh --inside ${inside_debs[*]}"; rc=$?
[ $rc -eq 0 ] || fail "the checks in the pristine root (status $rc)"
echo "package_test: lint, install, use and purge took $(( $(date +%s) - started )) s"
finish ""

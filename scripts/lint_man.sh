#!/usr/bin/env bash
# Lints the manual pages: each must format without a single warning from
# groff (-ww, every warning on) or from man --warnings, carry the sections a
# reader looks for, render within 80 columns, and name in SEE ALSO only
# pages that exist here or on a Debian system.
#
#   scripts/lint_man.sh [PAGE...]     (default: docs/*.[1-8])
set -uo pipefail
cd "$(dirname "$0")/.."

for tool in groff man; do
  command -v "$tool" >/dev/null || { echo "lint_man: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

pages=("$@")
[ ${#pages[@]} -eq 0 ] && pages=(docs/*.[1-8])
[ ${#pages[@]} -gt 0 ] && [ -e "${pages[0]}" ] || { echo "lint_man: no pages found" >&2; exit 2; }

# Pages of this system; others named in SEE ALSO must be standard pages.
ours=" "
for p in docs/*.[1-8]; do b=${p##*/}; ours+="${b%.*}(${b##*.}) "; done
standard=" ipcs(1) ipcrm(1) hosts(5) fopen(3) pkg-config(1) "

export LC_ALL=C.UTF-8 MANWIDTH=80
failed=0
fail() { echo "$page: $*"; failed=1; pagefailed=1; }

for page in "${pages[@]}"; do
  pagefailed=0
  base=${page##*/}
  section=${base##*.}

  out=$(groff -ww -man -t -z "$page" 2>&1)
  [ -z "$out" ] || fail "groff -ww: $out"

  rendered=$(man --warnings -l "$page" 2>"${TMPDIR:-/tmp}/lint_man.$$")
  warn=$(cat "${TMPDIR:-/tmp}/lint_man.$$"); rm -f "${TMPDIR:-/tmp}/lint_man.$$"
  [ -z "$warn" ] || fail "man --warnings: $warn"
  [ -n "$rendered" ] || fail "renders to nothing"

  head -1 "$page" | grep -Eq "^\.TH [A-Z0-9_]+ $section " || fail "first line is not .TH NAME $section ..."
  required=(NAME SYNOPSIS DESCRIPTION "SEE ALSO")
  case $section in 1|8) required+=("EXIT STATUS") ;; 3) required+=("RETURN VALUE" EXAMPLES) ;; esac
  for s in "${required[@]}"; do
    grep -Eq "^\.SH \"?$s\"?$" "$page" || fail "no section $s"
  done
  # The NAME line is what apropos indexes: "name[, name...] \- summary".
  awk '/^\.SH NAME/{getline; print; exit}' "$page" | grep -Eq '^[A-Za-z_][A-Za-z0-9_, ]*' \
    || fail "NAME section does not start with the page's names"
  grep -q '\\-' <(sed -n '/^\.SH NAME/,/^\.SH SYNOPSIS/p' "$page") || fail 'NAME section has no "\-" separator'

  long=$(printf '%s\n' "$rendered" | awk 'length > 80 {print NR": "$0}')
  [ -z "$long" ] || fail "lines wider than 80 columns: $long"

  refs=$(sed -n '/^\.SH "SEE ALSO"/,/^\.SH/p' "$page" | grep -Eo '^\.BR [A-Za-z0-9_.-]+ \([0-9]\)' \
         | sed -E 's/^\.BR ([^ ]+) \(([0-9])\)/\1(\2)/')
  for r in $refs; do
    case "$ours$standard" in *" $r "*) ;; *) fail "SEE ALSO names $r, which is not a known page" ;; esac
  done
  [ $pagefailed -eq 0 ] && echo "ok  $page"
done
exit $failed

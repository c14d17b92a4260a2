#!/bin/bash
# Makes a manual page from the README, the one text of the manuals: the
# section headed "## NAME(SECTION)" up to the next "## " heading, its headings
# raised by two levels, through go-md2man; then renders it with groff and
# fails on any warning, so that a README edit that breaks the page fails the
# build. Writes OUT and OUT.gz.
#   scripts/manpage.sh README.md krimg 1 1.1.3.398 build/man/krimg.1
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 README NAME SECTION VERSION OUT" >&2; exit 2; }
readme=$1 name=$2 section=$3 version=$4 out=$5

body=$(awk -v head="## $name($section)" '
  /^```/ { fence = !fence }
  !fence && $0 == head { on = 1; next }
  !fence && on && /^## / { exit }
  on && !fence && /^###/ { sub(/^##/, "") }
  on { print }' "$readme")
if [ -z "$body" ]; then
  echo "$0: no section \"## $name($section)\" in $readme" >&2
  exit 1
fi

# go-md2man's tables, mended for tbl: the row of a text block goes on after
# its "T}" on the same line (go-md2man breaks the line there, which starts a
# new row), and every long cell is a text block, so tbl wraps it to the page.
tables='
function visible(s) { gsub(/\\f(\(..|\[[^]]*\]|.)/, "", s); return length(s) }
function cells(s,   n, i, a, out) {
  n = split(s, a, "\t")
  out = ""
  for (i = 1; i <= n; i++) {
    if (a[i] == "T{") inblock = 1
    else if (visible(a[i]) > 20) a[i] = "T{\n" a[i] "\nT}"
    out = out (i > 1 ? "\t" : "") a[i]
  }
  return out
}
function emit(s) { if (inblock) print s; else held = s }
function flush() { if (held != "") print held; held = "" }
/^\.TS/ { flush(); table = 1; spec = 1; print; next }
/^\.TE/ { flush(); table = 0; print; next }
!table { print; next }
spec { print; if (/\.$/) spec = 0; next }
inblock && /^T}/ { inblock = 0; emit("T}" cells(substr($0, 3))); next }
inblock { print; next }
held != "" && /^\t/ { s = held cells($0); held = ""; emit(s); next }
{ flush(); print cells($0) }
END { flush() }
'

title=$(echo "$name" | tr '[:lower:]' '[:upper:]')
mkdir -p "$(dirname "$out")"
{ printf '%% %s %s "" "krii %s" "krii"\n\n' "$title" "$section" "$version"; echo "$body"; } |
  go-md2man | awk "$tables" > "$out.tmp"
warnings=$(LC_ALL=C.UTF-8 groff -K utf-8 -t -man -Tutf8 -ww -z "$out.tmp" 2>&1) || true
if [ -n "$warnings" ]; then
  echo "$0: the page made from \"## $name($section)\" of $readme does not render cleanly:" >&2
  echo "$warnings" >&2
  exit 1
fi
mv "$out.tmp" "$out"
gzip -9n < "$out" > "$out.gz"

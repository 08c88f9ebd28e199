#!/usr/bin/env bash
# Every command on a small tree: exit codes, console lines with standard
# output redirected, and the files written.
source "$(dirname "$0")/lib.sh" "$1"

# lines FILE: the file's lines without the byte-order mark and CRs, each cut
# after the quoted path (and the "from" path of copies and renames).
lines() {
  sed -e "1s/^$BOM//" -e "s/$CR\$//" "$1" |
    sed -E 's/^([A-Z]+\t)?("[^"]*")[^\t]*(\tfrom\t"[^"]*")?$/\1\2\3/'
}

expect_lines() {
  local actual
  actual=$(lines "$1")
  [ "$actual" = "$2" ] || fail "$1 lines differ.
--- expected:
$2
--- actual:
$actual"
}

mkdir -p tree/sub
printf 'one' > tree/a.txt
printf 'two' > tree/b.txt
printf 'one' > tree/sub/dup.txt
printf 'gone' > tree/del.txt

# Build.
run -b old.txt tree
expect_rc 0 "build"
expect_output "$BANNER"
expect_lines old.txt '"a.txt"
"b.txt"
"del.txt"
"sub\dup.txt"'
head -c 3 old.txt | cmp -s - <(printf '%s' "$BOM") || fail "hash list lacks the byte-order mark"
[ "$(grep -c "$CR\$" old.txt)" -eq 4 ] || fail "hash list lines do not end in CR LF"
sed "1s/^$BOM//" old.txt |
  grep -qE '^"a\.txt" {74}[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12} {10}3 [A-Za-z0-9+/]{22}=='"$CR\$" ||
  fail "hash list line has not the path, date, size and hash"

# Verify, nothing changed: nothing to report.
run old.txt tree
expect_rc 0 "verify unchanged"
expect_output "$BANNER"
run -v old.txt -d tree
expect_rc 0 "verify -v -d"
expect_output "$BANNER"

# Change, rename, add, delete.
printf 'three' > tree/b.txt
mv tree/a.txt tree/c.txt
printf 'new' > tree/n.txt
rm tree/del.txt

# Results on the console with -p; the statistics line.
run old.txt tree -p
expect_rc 1 "verify with changes"
expect_contains "$OUT" "Loading hash file old.txt ... "
expect_contains "$OUT" "\"c.txt\"       $CR"
expect_contains "$OUT" "CHANGED	\"b.txt\"$CR"
expect_contains "$OUT" "DELETED	\"del.txt\"$CR"
expect_contains "$OUT" "RENAMED	\"c.txt\"	from	\"a.txt\"$CR"
expect_contains "$OUT" "ADDED	\"n.txt\"$CR"
expect_lacks "$OUT" "MATCHED"
expect_contains "$OUT" "Operation statistics:$CR
Matched: 1    New: 1    Changed: 1    Deleted: 1    Copied: 0    Renamed: 1$CR
$CR"

# Redirected without -p: the banner only.
run old.txt tree
expect_rc 1 "verify redirected"
expect_output "$BANNER"

# Results to a file: none on the console, the statistics still there.
run old.txt tree -p -o results.txt
expect_rc 1 "verify -o"
expect_lacks "$OUT" "CHANGED"
expect_contains "$OUT" "Operation statistics:"
expect_lines results.txt 'CHANGED	"b.txt"
RENAMED	"c.txt"	from	"a.txt"
DELETED	"del.txt"
ADDED	"n.txt"'

# "-o -" sends them back to the console.
run old.txt tree -p -o results2.txt -o -
expect_contains "$OUT" "ADDED	\"n.txt\""
expect_missing results2.txt

# Shown and hidden states; what is hidden does not count for exit code 1.
printf 'stale' > hidden.txt
run old.txt tree -sc- -sa- -sd- -sr- -o hidden.txt
expect_rc 0 "all differences hidden"
# The old results are gone; no line was written.
[ ! -s hidden.txt ] || expect_lines hidden.txt ''
run old.txt tree -sm -sa- -sd- -sr- -sc- -o matched.txt
expect_rc 1 "matched shown"
expect_lines matched.txt 'MATCHED	"sub\dup.txt"'

# Update: reports like verify, then the list holds the tree.
cp old.txt old.keep
run -u old.txt tree
expect_rc 1 "update"
expect_lines old.txt '"b.txt"
"c.txt"
"n.txt"
"sub\dup.txt"'
run old.txt tree
expect_rc 0 "verify after update"

# Match a new list against the old one, without touching the tree.
run -b new.txt tree
expect_rc 0 "build new"
run new.txt -m old.keep -o match.txt
expect_rc 1 "match"
expect_lines match.txt 'CHANGED	"b.txt"
RENAMED	"c.txt"	from	"a.txt"
DELETED	"del.txt"
ADDED	"n.txt"'
run new.txt -m old.txt
expect_rc 0 "match equal lists"

# Dupes: content of new.txt found in old.keep, and within new.txt.
run new.txt -D old.keep -o dupes.txt
expect_rc 0 "dupes"
expect_contains dupes.txt "COPIED	\"c.txt\""
expect_contains dupes.txt "from	\"a.txt\""
expect_lacks dupes.txt "\"n.txt\""
run new.txt -D1 -o dupes1.txt
expect_rc 0 "dupes within"
expect_lines dupes1.txt 'COPIED	"sub\dup.txt"	from	"c.txt"
COPIED	"c.txt"	from	"sub\dup.txt"'
run new.txt -D1 -p
expect_rc 0 "dupes within, on the console"
expect_contains "$OUT" "COPIED	\"c.txt\"	from	\"sub\\dup.txt\"$CR"
expect_contains "$OUT" "Looking for dupes..."
expect_contains "$OUT" "Operation statistics:"

# Scan settings.
run -b flat.txt tree -r-
expect_rc 0 "build -r-"
expect_lines flat.txt '"b.txt"
"c.txt"
"n.txt"'
run -b only.txt tree -i 'c*'
expect_lines only.txt '"c.txt"'
run -b nosub.txt tree -xr '^sub\\'
expect_lines nosub.txt '"b.txt"
"c.txt"
"n.txt"'
mkdir tree2
printf 'x' > tree2/x.txt
run -b two.txt tree -d tree2 -r-
expect_rc 0 "build two trees"
expect_contains two.txt '"x.txt"'

finish

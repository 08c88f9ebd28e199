#!/usr/bin/env bash
# Hash lists pass between the two builds: each program writes the same list
# for the same tree, and each verifies and matches the other's.
# Usage: cross.sh PROGRAM OTHER_PROGRAM
source "$(dirname "$0")/lib.sh" "$1"
SELF=$PROG
OTHER=$(realpath "$2")

# with PROGRAM ARGS...: `run` with another program.
with() {
  PROG=$1
  shift
  run "$@"
  PROG=$SELF
}

# Names beyond ASCII, a file of several read pieces, a time after 2038.
mkdir -p "tree/sub/d$(printf '\xc3\xa9')"
printf 'one' > tree/a.txt
printf 'two' > "tree/sub/d$(printf '\xc3\xa9')/b$(printf '\xe2\x82\xac').txt"
head -c 9000000 /dev/urandom > tree/sub/random.bin
: > tree/empty.txt
touch -d '2041-07-08 09:10:11.012 UTC' tree/a.txt

for pair in "$OTHER $SELF" "$SELF $OTHER"; do
  read -r writer reader <<<"$pair"
  rm -f written.txt own.txt
  with "$writer" -b written.txt tree
  expect_rc 0 "$writer: build"
  with "$reader" -b own.txt tree
  expect_rc 0 "$reader: build"
  cmp -s written.txt own.txt || fail "the two programs wrote different lists"
  # Hashing every file again finds nothing changed.
  with "$reader" -t- written.txt tree
  expect_rc 0 "$reader: verify the list of $writer"
  [ "$(wc -l <"$OUT")" -eq 2 ] || fail "$reader reported something: $(cat "$OUT")"
  with "$reader" -m written.txt own.txt -sm -p
  [ "$(grep -c MATCHED "$OUT")" -eq 4 ] || fail "$reader matched: $(cat "$OUT")"
  expect_contains "$OUT" "Matched: 4    New: 0    Changed: 0    Deleted: 0    Copied: 0    Renamed: 0$CR"
done

finish

#!/usr/bin/env bash
# The i386 program: its "-wow64-" changes nothing on Linux, and file sizes and
# times beyond 32 bits come out whole.
source "$(dirname "$0")/lib.sh" "$1"

mkdir tree
printf 'one' > tree/a.txt
printf 'two' > tree/b.txt
run -b list.txt tree
expect_rc 0 "build"

# Every command gives the same exit code and output with the option, in
# either order of the two forms.
printf 'changed' > tree/b.txt
cp list.txt other.txt
for args in "-b new.txt tree" "list.txt tree" "-u list.txt tree" "-m other.txt list.txt" \
            "-D other.txt list.txt" "-D1 list.txt"; do
  cp other.txt list.txt
  # shellcheck disable=SC2086
  run $args
  expected_rc=$RC
  cp "$OUT" expected.out
  for forms in "-wow64-" "-wow64 -wow64-" "-wow64- -wow64"; do
    cp other.txt list.txt
    # shellcheck disable=SC2086
    run $args $forms
    expect_rc "$expected_rc" "$args $forms"
    cmp -s "$OUT" expected.out || fail "$args $forms: the output differs"
  done
done

# A 5 GiB file and a time after 2038 in the list line.
mkdir big
truncate -s 5G big/huge.bin
touch -d '2030-01-02 03:04:05.678 UTC' big/huge.bin
printf 'late' > big/late.txt
touch -d '2040-02-29 12:34:56.789 UTC' big/late.txt
run -b big.txt big
expect_rc 0 "build of big files"
sed "1s/^$BOM//" big.txt > big.lines
grep -qE '^"huge\.bin" +2030-01-02T03:04:05\.678 +5368709120 ' big.lines ||
  fail "huge.bin line lacks its size or date: $(grep -a huge big.lines)"
grep -qE '^"late\.txt" +2040-02-29T12:34:56\.789 +4 ' big.lines ||
  fail "late.txt line lacks its date: $(grep -a late big.lines)"
# The stored size and time also compare equal to the files'.
run big.txt big
expect_rc 0 "verify by time and size"
expect_output "$BANNER"

finish
